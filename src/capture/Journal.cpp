#include "Journal.h"

#include "FileOps.h"
#include "capture/FileAccess.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <utility>

namespace kelmor::capture::fileops {

using platform::File;

namespace {

constexpr std::size_t TailBlock = 64 << 10;

// Whole decimal numbers separated by single spaces.
class Fields {
public:
    explicit Fields(std::string_view line) : rest_(line) {}
    std::optional<std::string_view> word() {
        if (rest_.empty())
            return std::nullopt;
        const std::size_t space = rest_.find(' ');
        std::string_view word = rest_.substr(0, space);
        rest_ = space == std::string_view::npos ? std::string_view() : rest_.substr(space + 1);
        return word.empty() ? std::nullopt : std::optional(word);
    }
    template <typename T> std::optional<T> number() {
        const auto w = word();
        T value{};
        if (!w ||
            std::from_chars(w->data(), w->data() + w->size(), value).ptr != w->data() + w->size())
            return std::nullopt;
        return value;
    }
    bool done() const { return rest_.empty(); }

private:
    std::string_view rest_;
};

// Which capture file a journal belongs to: its file id, and its first bytes,
// since a file made anew may get the id of one just removed.
struct Owner {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t headLength = 0;
    std::uint64_t headHash = 0;
    bool operator==(const Owner&) const = default;
};

constexpr std::size_t HeadLength = 64;

std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char ch : bytes) {
        hash ^= static_cast<unsigned char>(ch);
        hash *= 1099511628211ull;
    }
    return hash;
}

// The owner as the capture file is now, fingerprinting `length` bytes (fewer
// where the file is shorter: then it is another file). Empty where it cannot
// be read now, which says nothing of whose it is.
std::optional<Owner> ownerOf(const std::string& captureFile, const FileStamp& stamp,
                             std::uint64_t length) {
    const ReadResult head = readFileAt(captureFile, 0, static_cast<std::size_t>(length));
    if (head.failure)
        return std::nullopt;
    return Owner{stamp.device, stamp.inode, head.bytes.size(), fnv1a(head.bytes)};
}

std::optional<Owner> parseHeader(std::string_view line) {
    const std::string_view magic = JournalMagic;
    if (!line.starts_with(magic) || line.size() == magic.size() || line[magic.size()] != ' ')
        return std::nullopt;
    Fields f(line.substr(magic.size() + 1));
    const auto device = f.number<std::uint64_t>();
    const auto inode = f.number<std::uint64_t>();
    const auto length = f.number<std::uint64_t>();
    const auto hash = f.number<std::uint64_t>();
    if (!device || !inode || !length || !hash || *length > HeadLength || !f.done())
        return std::nullopt;
    return Owner{*device, *inode, *length, *hash};
}

// Whether the journal whose header is `line` belongs to the capture file.
bool owns(std::string_view line, const std::string& captureFile, const FileStamp& stamp) {
    const std::optional<Owner> owner = parseHeader(line);
    return owner && owner == ownerOf(captureFile, stamp, owner->headLength);
}

std::string headerLine(const Owner& owner) {
    std::string line = JournalMagic;
    for (const auto n : {owner.device, owner.inode, owner.headLength, owner.headHash}) {
        line += ' ';
        line += std::to_string(n);
    }
    line += '\n';
    return line;
}

// The complete lines of a block, last first; a block that starts mid-line
// drops that piece unless it starts the file.
std::vector<std::string_view> linesBackwards(std::string_view block, bool fromStart) {
    std::vector<std::string_view> lines;
    std::size_t end = block.rfind('\n');
    while (end != std::string_view::npos) {
        const std::size_t before = end == 0 ? std::string_view::npos : block.rfind('\n', end - 1);
        if (before == std::string_view::npos) {
            if (fromStart)
                lines.push_back(block.substr(0, end));
            break;
        }
        lines.push_back(block.substr(before + 1, end - before - 1));
        end = before;
    }
    return lines;
}

std::optional<std::string> readAt(File& file, std::uint64_t at, std::size_t length) {
    std::string bytes(length, '\0');
    if (!file.seek(at))
        return std::nullopt;
    std::size_t got = 0;
    while (got < length) {
        const long long n = file.read(bytes.data() + got, length - got);
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

} // namespace

std::string entryLine(const StoreEntry& entry) {
    std::string line = std::to_string(entry.end) + " " + std::to_string(entry.end - entry.start) +
                       " " + std::to_string(entry.utcMs);
    if (!entry.separators.empty()) {
        line += ' ';
        for (const Separator& s : entry.separators) {
            line += std::to_string(s.at - entry.start);
            line += static_cast<char>(s.kind);
        }
    }
    line += '\n';
    return line;
}

bool parseEntryInto(std::string_view line, StoreNotes& notes) {
    // By hand: a rewrite reads millions of these lines.
    const char* p = line.data();
    const char* const end = p + line.size();
    const auto number = [&](std::uint64_t& value, bool last) {
        const char* first = p;
        value = 0;
        while (p < end && *p >= '0' && *p <= '9')
            value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
        if (p == first || p - first > 19)
            return false;
        if (p == end)
            return last;
        return *p++ == ' ';
    };
    std::uint64_t stop = 0;
    std::uint64_t length = 0;
    std::uint64_t ms = 0;
    if (!number(stop, false) || !number(length, false) || !number(ms, true) || length > stop ||
        length == 0)
        return false;
    const StoreSpan span{stop - length, stop, static_cast<std::int64_t>(ms)};
    const std::size_t had = notes.separators.size();
    std::uint64_t at = 0;
    bool digits = false;
    for (; p < end; ++p) {
        if (*p >= '0' && *p <= '9') {
            at = at * 10 + static_cast<std::uint64_t>(*p - '0');
            digits = true;
        } else if ((*p == 'f' || *p == 'e') && digits && at < length) {
            notes.separators.push_back({span.start + at, static_cast<Separator::Kind>(*p)});
            at = 0;
            digits = false;
        } else {
            notes.separators.resize(had);
            return false;
        }
    }
    if (digits) {
        notes.separators.resize(had);
        return false;
    }
    notes.stores.push_back(span);
    return true;
}

std::optional<StoreEntry> parseEntry(std::string_view line) {
    StoreNotes notes;
    if (!parseEntryInto(line, notes))
        return std::nullopt;
    const StoreSpan& span = notes.stores.front();
    return StoreEntry{span.start, span.end, span.utcMs, std::move(notes.separators)};
}

std::string checkpointLine(const CsvCheckpoint& c) {
    std::string flags;
    if (c.resume.afterCr)
        flags += 'r';
    if (c.resume.inLine)
        flags += 'l';
    if (c.resume.afterEtx)
        flags += 'x';
    if (flags.empty())
        flags.push_back('-');
    std::string line = "c ";
    line += c.options.text();
    for (const auto n : {c.txt.size, static_cast<std::uint64_t>(c.txt.modifiedNs), c.csv.device,
                         c.csv.inode, c.csv.size, static_cast<std::uint64_t>(c.csv.modifiedNs),
                         c.resume.captureOffset, c.resume.csvOffset}) {
        line += ' ';
        line += std::to_string(n);
    }
    line += ' ';
    line += flags;
    line += '\n';
    return line;
}

std::optional<CsvCheckpoint> parseCheckpoint(std::string_view line, const FileStamp& txt) {
    if (!line.starts_with("c "))
        return std::nullopt;
    Fields f(line.substr(2));
    CsvCheckpoint c;
    const auto options = f.word();
    if (!options)
        return std::nullopt;
    c.options.timestamps = *options == "timestamps" || *options == "timestamps+fields";
    c.options.fields = *options == "fields" || *options == "timestamps+fields";
    if (c.options.text() != *options)
        return std::nullopt;
    std::uint64_t n[8] = {};
    for (auto& value : n) {
        const auto parsed = f.number<std::uint64_t>();
        if (!parsed)
            return std::nullopt;
        value = *parsed;
    }
    const auto flags = f.word();
    if (!flags || !f.done())
        return std::nullopt;
    c.txt = {txt.device, txt.inode, n[0], static_cast<std::int64_t>(n[1])};
    c.csv = {n[2], n[3], n[4], static_cast<std::int64_t>(n[5])};
    c.resume = {n[6], n[7], flags->find('r') != std::string_view::npos,
                flags->find('l') != std::string_view::npos,
                flags->find('x') != std::string_view::npos};
    return c;
}

std::string StoreJournal::pathFor(const std::string& captureFile) {
    return besideAsHidden(captureFile, ".kelmor-times");
}

MaybeError StoreJournal::failed(const std::string& what, const std::string& reason) {
    // Said once a file: capture goes on, and the lines lack only their time.
    // Not tried again at every store: at the next "Save As", or once the
    // capture file changes.
    usable_ = false;
    dirty_ = false;
    pending_.clear();
    checkpoint_.reset();
    if (failureSaid_)
        return std::nullopt;
    failureSaid_ = true;
    return Error{what, path_,
                 (reason.empty() ? "" : reason + "; ") +
                     "capture goes on, without the time of the lines stored meanwhile"};
}

void StoreJournal::detach() {
    (void)flush(Clock::now(), Flush::Durable);
    checked_ = false;
    usable_ = false;
    dirty_ = false;
    pending_.clear();
    checkpoint_.reset();
}

MaybeError StoreJournal::attach(const std::string& captureFile, const FileStamp& identity,
                                std::uint64_t sizeBefore, bool sayMissing) {
    namespace fs = std::filesystem;
    if (captureFile != captureFile_)
        failureSaid_ = false;
    detach();
    captureFile_ = captureFile;
    path_ = pathFor(captureFile);
    identity_ = identity;
    checked_ = true;

    // Like a partial file: anything but a plain file under the name goes,
    // and is never written through.
    std::error_code ec;
    const fs::file_status found = fs::symlink_status(path_, ec);
    if (fs::exists(found) && !fs::is_regular_file(found) && !fs::remove(path_, ec))
        return failed("Cannot make the store journal", ec.message());
    File in = File::open(path_, File::Mode::Read);
    if (!in.isOpen()) {
        if (!in.notFound())
            return failed("Cannot read the store journal", in.error());
        // A capture file with lines and no journal: those lines have no time.
        MaybeError said;
        if (sizeBefore > 0 && sayMissing)
            said = Error{"The store journal is missing", path_,
                         "the lines stored before now have no time; capture goes on"};
        return begin(std::move(said));
    }
    const std::optional<FileStamp> journal = in.stamp();
    const std::optional<std::string> head = readAt(in, 0, 128);
    if (!journal || !head)
        return failed("Cannot read the store journal", in.error());
    const std::size_t headEnd = head->find('\n');
    const std::string_view header =
        std::string_view(*head).substr(0, headEnd == std::string::npos ? 0 : headEnd);
    const std::optional<Owner> claimed = parseHeader(header);
    if (!claimed)
        return setAside("it was damaged", sizeBefore > 0);
    const std::optional<Owner> actual = ownerOf(captureFile, identity, claimed->headLength);
    if (!actual)
        return failed("Cannot read the store journal", "the capture file could not be read");
    if (actual != claimed)
        return setAside("another capture file's", false); // that file was replaced
    // From the end back: a torn last line and any store past the capture
    // file's end are cut off. Only the tail is read, however long the journal.
    const std::uint64_t bodyStart = headEnd + 1;
    std::uint64_t keep = journal->size;
    bool lastSeen = false;
    std::uint64_t blockEnd = journal->size;
    std::uint64_t span = TailBlock;
    while (blockEnd > bodyStart) {
        const std::uint64_t blockStart =
            blockEnd - std::min<std::uint64_t>(blockEnd - bodyStart, span);
        const std::optional<std::string> tail =
            readAt(in, blockStart, static_cast<std::size_t>(blockEnd - blockStart));
        if (!tail)
            return failed("Cannot read the store journal", in.error());
        const std::size_t lastLf = tail->rfind('\n');
        if (lastLf == std::string::npos && blockStart > bodyStart) {
            span *= 2; // a line longer than a block: read further back
            continue;
        }
        if (blockEnd == journal->size)
            keep = lastLf == std::string::npos ? blockStart : blockStart + lastLf + 1;
        bool settled = false;
        std::uint64_t lineEnd = std::min(keep, blockEnd);
        if (blockEnd != journal->size)
            lineEnd = blockEnd;
        for (const std::string_view line : linesBackwards(*tail, blockStart == bodyStart)) {
            const std::uint64_t lineStart = lineEnd - line.size() - 1;
            if (line.starts_with("c ")) {
                const auto c = parseCheckpoint(line, identity);
                if (!c)
                    return setAside("it was damaged", true);
                if (!lastSeen && c->resume.captureOffset == sizeBefore)
                    checkpoint_ = c;
            } else {
                const auto entry = parseEntry(line);
                if (!entry)
                    return setAside("it was damaged", true);
                if (entry->end <= sizeBefore) {
                    settled = true;
                    break;
                }
                keep = lineStart; // past the capture file's end
                checkpoint_.reset();
            }
            lastSeen = true;
            lineEnd = lineStart;
        }
        if (settled || blockStart == bodyStart)
            break;
        blockEnd = lineEnd;
        span = TailBlock;
    }
    in.close();
    if (keep != journal->size) {
        File out = File::open(path_, File::Mode::AppendExisting);
        if (!out.isOpen() || !out.truncate(keep) || !out.sync())
            return failed("Cannot write the store journal", out.error());
    }
    journalId_ = *journal;
    usable_ = true;
    return std::nullopt;
}

MaybeError StoreJournal::setAside(const std::string& why, bool say) {
    const std::string old = path_ + ".old";
    const bool moved = File::rename(path_, old).ok();
    MaybeError said;
    if (say)
        said = Error{"The store journal was set aside", path_,
                     why + (moved ? "; it is kept as \"" + old + "\"" : std::string()) +
                         "; the lines stored before now have no time, and capture goes on"};
    if (!moved)
        (void)File::remove(path_);
    return begin(std::move(said));
}

MaybeError StoreJournal::begin(MaybeError said) {
    checkpoint_.reset();
    File out = File::open(path_, File::Mode::CreateNew);
    if (!out.isOpen() && out.alreadyExists() && File::remove(path_).ok())
        out = File::open(path_, File::Mode::CreateNew);
    const std::optional<Owner> owner =
        ownerOf(captureFile_, identity_, std::min<std::uint64_t>(identity_.size, HeadLength));
    const std::string header = owner ? headerLine(*owner) : std::string();
    const std::optional<FileStamp> made =
        out.isOpen() && owner && out.write(header.data(), header.size()) && out.sync()
            ? out.stamp()
            : std::nullopt;
    if (!made) {
        const std::string reason = owner ? out.error() : "the capture file could not be read";
        out.close();
        (void)File::remove(path_); // half made: the next store tries again
        MaybeError failure = failed("Cannot make the store journal", reason);
        return said ? said : failure;
    }
    out.close();
    File::hide(path_);
    (void)File::syncFolderOf(path_);
    journalId_ = *made;
    usable_ = true;
    return said;
}

StoreJournal::~StoreJournal() {
    (void)flush(Clock::now(), Flush::Written);
}

bool StoreJournal::append(const StoreEntry& entry) {
    if (!usable_)
        return false;
    pending_ += entryLine(entry);
    return true;
}

MaybeError StoreJournal::record(const CsvCheckpoint& checkpoint, Clock::time_point now,
                                bool durableNow) {
    if (!usable_)
        return std::nullopt;
    pending_ += checkpointLine(checkpoint);
    return flush(now, durableNow ? Flush::Durable : Flush::Written);
}

MaybeError StoreJournal::flush(Clock::time_point now, Flush how) {
    if (!usable_)
        return std::nullopt;
    const bool write =
        !pending_.empty() && (how != Flush::WhenDue || now - lastWrite_ >= WritePeriod);
    const bool sync = (dirty_ || write) && (how == Flush::Durable || now - lastSync_ >= SyncPeriod);
    if (!write && !sync)
        return std::nullopt;
    // Opened each time, never through a link and never held: the folder can
    // be renamed or removed as with the capture file alone.
    File out = File::open(path_, File::Mode::AppendExisting);
    const std::optional<FileStamp> here = out.isOpen() ? out.stamp() : std::nullopt;
    if (!here || here->device != journalId_.device || here->inode != journalId_.inode) {
        // Removed or replaced meanwhile: the next store checks it anew.
        checked_ = false;
        usable_ = false;
        dirty_ = false;
        pending_.clear();
        return std::nullopt;
    }
    if (write) {
        if (!out.write(pending_.data(), pending_.size()))
            return failed("Cannot write the store journal", out.error());
        pending_.clear();
        lastWrite_ = now;
        dirty_ = true;
    }
    if (sync) {
        if (!out.sync())
            return failed("Cannot save the store journal to disk", out.error());
        dirty_ = false;
        lastSync_ = now;
    }
    return std::nullopt;
}

JournalReader::JournalReader(std::string captureFile) : captureFile_(std::move(captureFile)) {}

std::optional<std::string_view> JournalReader::readLine() {
    for (;;) {
        const std::size_t lf = buffer_.find('\n', at_);
        if (lf != std::string::npos) {
            const std::string_view line(buffer_.data() + at_, lf - at_);
            at_ = lf + 1;
            return line;
        }
        buffer_.erase(0, at_);
        at_ = 0;
        const std::size_t had = buffer_.size();
        buffer_.resize(had + TailBlock);
        const long long n = file_.read(buffer_.data() + had, TailBlock);
        buffer_.resize(had + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n <= 0)
            return std::nullopt; // a line being written stays for the next call
    }
}

bool JournalReader::open(std::uint64_t from) {
    opened_ = true;
    file_ = File::open(StoreJournal::pathFor(captureFile_), File::Mode::Read);
    const std::optional<FileStamp> capture = File::stampOf(captureFile_);
    const std::optional<FileStamp> journal = file_.isOpen() ? file_.stamp() : std::nullopt;
    std::optional<std::string_view> header;
    if (!capture || !journal || !(header = readLine()) || !owns(*header, captureFile_, *capture))
        return false;
    const std::uint64_t bodyStart = header->size() + 1;
    // Stores are in order of their end: halve the journal down to a block
    // whose first store ends at or before `from`, then read on from there.
    std::uint64_t low = bodyStart;
    std::uint64_t high = journal->size;
    while (from > 0 && high - low > TailBlock) {
        const std::uint64_t mid = low + (high - low) / 2;
        buffer_.clear();
        at_ = 0;
        if (!file_.seek(mid - 1) || !readLine())
            return false; // the rest of the line mid falls in
        std::optional<StoreEntry> first;
        while (!first) {
            const std::optional<std::string_view> line = readLine();
            if (!line)
                break;
            first = parseEntry(*line);
        }
        if (first && first->end <= from)
            low = mid;
        else
            high = mid;
    }
    buffer_.clear();
    at_ = 0;
    if (low == bodyStart)
        return file_.seek(low);
    return file_.seek(low - 1) && readLine(); // the rest of the line low falls in
}

const StoreNotes& JournalReader::notes(std::uint64_t from, std::uint64_t to) {
    if (!opened_)
        usable_ = open(from);
    if (!usable_)
        return held_;
    // What lies wholly before `from` is done with.
    auto& stores = held_.stores;
    auto& seps = held_.separators;
    stores.erase(stores.begin(),
                 std::partition_point(stores.begin(), stores.end(),
                                      [&](const StoreSpan& s) { return s.end <= from; }));
    seps.erase(seps.begin(), std::partition_point(seps.begin(), seps.end(),
                                                  [&](const Separator& s) { return s.at < from; }));
    while (stores.empty() || stores.back().start < to) {
        const std::optional<std::string_view> line = readLine();
        if (!line)
            break;
        const std::size_t had = stores.size();
        const std::size_t hadSeps = seps.size();
        // Out of order is damage: that store is left out.
        if (!parseEntryInto(*line, held_))
            continue;
        if (stores.back().start < lastEnd_ || stores.back().end <= from) {
            stores.resize(had);
            seps.resize(hadSeps);
            continue;
        }
        lastEnd_ = stores.back().end;
    }
    return held_;
}

} // namespace kelmor::capture::fileops
