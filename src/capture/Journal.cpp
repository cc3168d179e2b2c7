#include "Journal.h"

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

std::optional<FileStamp> parseHeader(std::string_view line) {
    const std::string_view magic = JournalMagic;
    if (!line.starts_with(magic) || line.size() == magic.size() || line[magic.size()] != ' ')
        return std::nullopt;
    Fields f(line.substr(magic.size() + 1));
    FileStamp id;
    const auto device = f.number<std::uint64_t>();
    const auto inode = f.number<std::uint64_t>();
    if (!device || !inode || !f.done())
        return std::nullopt;
    id.device = *device;
    id.inode = *inode;
    return id;
}

std::string headerLine(const FileStamp& identity) {
    return std::string(JournalMagic) + " " + std::to_string(identity.device) + " " +
           std::to_string(identity.inode) + "\n";
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

std::optional<StoreEntry> parseEntry(std::string_view line) {
    Fields f(line);
    const auto end = f.number<std::uint64_t>();
    const auto length = f.number<std::uint64_t>();
    const auto ms = f.number<std::int64_t>();
    if (!end || !length || !ms || *length > *end || *length == 0)
        return std::nullopt;
    StoreEntry entry{*end - *length, *end, *ms, {}};
    if (const auto marks = f.word()) {
        std::uint64_t at = 0;
        bool digits = false;
        for (const char ch : *marks) {
            if (ch >= '0' && ch <= '9') {
                at = at * 10 + static_cast<std::uint64_t>(ch - '0');
                digits = true;
            } else if ((ch == 'f' || ch == 'e') && digits && at < *length) {
                entry.separators.push_back({entry.start + at, static_cast<Separator::Kind>(ch)});
                at = 0;
                digits = false;
            } else {
                return std::nullopt;
            }
        }
        if (digits)
            return std::nullopt;
    }
    if (!f.done())
        return std::nullopt;
    return entry;
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
    const std::filesystem::path path(captureFile);
    std::string name = ".";
    name += path.filename().string();
    name += ".kelmor-times";
    return (path.parent_path() / name).string();
}

MaybeError StoreJournal::failed(const std::string& what) {
    // Said once a file: capture goes on, and the lines lack only their time.
    std::string reason = file_.error();
    detach();
    if (failureSaid_)
        return std::nullopt;
    failureSaid_ = true;
    return Error{what, path_,
                 (reason.empty() ? "" : reason + "; ") +
                     "capture goes on, without the time of the lines stored meanwhile"};
}

void StoreJournal::detach() {
    if (file_.isOpen() && dirty_)
        (void)file_.sync();
    file_.close();
    attached_ = false;
    dirty_ = false;
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

    // Like a partial file: anything but a plain file under the name goes,
    // and is never written through.
    std::error_code ec;
    const fs::file_status found = fs::symlink_status(path_, ec);
    if (fs::exists(found) && !fs::is_regular_file(found)) {
        if (!fs::remove(path_, ec)) {
            file_ = File();
            return failed("Cannot make the store journal");
        }
    }
    File in = File::open(path_, File::Mode::Read);
    if (!in.isOpen()) {
        if (!in.notFound())
            return setAside("it could not be read: " + in.error(), true);
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
        return setAside("it could not be read: " + in.error(), true);
    const std::size_t headEnd = head->find('\n');
    const std::optional<FileStamp> owner =
        headEnd == std::string::npos ? std::nullopt : parseHeader(head->substr(0, headEnd));
    if (!owner)
        return setAside("it was damaged", sizeBefore > 0);
    if (owner->device != identity.device || owner->inode != identity.inode)
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
            return setAside("it could not be read: " + in.error(), true);
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
    file_ = File::open(path_, File::Mode::AppendLog);
    if (!file_.isOpen() ||
        (keep != journal->size && (!file_.truncate(keep) || !file_.seek(keep) || !file_.sync())))
        return failed("Cannot write the store journal");
    attached_ = true;
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
    file_ = File::open(path_, File::Mode::CreateNew);
    if (!file_.isOpen() && file_.alreadyExists() && File::remove(path_).ok())
        file_ = File::open(path_, File::Mode::CreateNew);
    const std::string header = headerLine(identity_);
    if (!file_.isOpen() || !file_.write(header.data(), header.size()) || !file_.sync()) {
        MaybeError failure = failed("Cannot make the store journal");
        return said ? said : failure;
    }
    File::hide(path_);
    (void)File::syncFolderOf(path_);
    attached_ = true;
    return said;
}

MaybeError StoreJournal::append(const StoreEntry& entry) {
    if (!attached_)
        return std::nullopt;
    const std::string line = entryLine(entry);
    if (!file_.write(line.data(), line.size()))
        return failed("Cannot write the store journal");
    dirty_ = true;
    return std::nullopt;
}

MaybeError StoreJournal::record(const CsvCheckpoint& checkpoint) {
    if (!attached_)
        return std::nullopt;
    const std::string line = checkpointLine(checkpoint);
    if (!file_.write(line.data(), line.size()))
        return failed("Cannot write the store journal");
    dirty_ = true;
    return sync(Clock::now(), true);
}

MaybeError StoreJournal::sync(Clock::time_point now, bool always) {
    if (!attached_ || !dirty_ || (!always && now - lastSync_ < SyncPeriod))
        return std::nullopt;
    // Moved or removed meanwhile: the next store checks it anew.
    const std::optional<FileStamp> here = File::stampOf(path_);
    const std::optional<FileStamp> ours = file_.stamp();
    if (!here || !ours || here->device != ours->device || here->inode != ours->inode) {
        detach();
        return std::nullopt;
    }
    if (!file_.sync())
        return failed("Cannot save the store journal to disk");
    dirty_ = false;
    lastSync_ = now;
    return std::nullopt;
}

JournalReader::JournalReader(std::string captureFile) : captureFile_(std::move(captureFile)) {}

bool JournalReader::readLine(std::string& line) {
    for (;;) {
        const std::size_t lf = buffer_.find('\n', at_);
        if (lf != std::string::npos) {
            line.assign(buffer_, at_, lf - at_);
            at_ = lf + 1;
            return true;
        }
        buffer_.erase(0, at_);
        at_ = 0;
        const std::size_t had = buffer_.size();
        buffer_.resize(had + TailBlock);
        const long long n = file_.read(buffer_.data() + had, TailBlock);
        buffer_.resize(had + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n <= 0)
            return false; // a line being written stays for the next call
    }
}

bool JournalReader::open(std::uint64_t from) {
    opened_ = true;
    file_ = File::open(StoreJournal::pathFor(captureFile_), File::Mode::Read);
    const std::optional<FileStamp> capture = File::stampOf(captureFile_);
    const std::optional<FileStamp> journal = file_.isOpen() ? file_.stamp() : std::nullopt;
    std::string header;
    if (!capture || !journal || !readLine(header))
        return false;
    const std::optional<FileStamp> owner = parseHeader(header);
    if (!owner || owner->device != capture->device || owner->inode != capture->inode)
        return false;
    // Stores are in order of their end: halve the journal down to a block
    // whose first store ends at or before `from`, then read on from there.
    std::uint64_t low = header.size() + 1;
    std::uint64_t high = journal->size;
    std::string line;
    while (from > 0 && high - low > TailBlock) {
        const std::uint64_t mid = low + (high - low) / 2;
        buffer_.clear();
        at_ = 0;
        if (!file_.seek(mid - 1) || !readLine(line))
            return false; // the rest of the line mid falls in
        std::optional<StoreEntry> first;
        while (!first && readLine(line))
            first = parseEntry(line);
        if (first && first->end <= from)
            low = mid;
        else
            high = mid;
    }
    buffer_.clear();
    at_ = 0;
    if (low == header.size() + 1)
        return file_.seek(low);
    return file_.seek(low - 1) && readLine(line); // the rest of the line low falls in
}

void JournalReader::stores(std::uint64_t from, std::uint64_t to, std::vector<StoreEntry>& out) {
    out.clear();
    if (!opened_)
        usable_ = open(from);
    if (!usable_)
        return;
    while (!held_.empty() && held_.front().end <= from)
        held_.pop_front();
    std::string line;
    while ((held_.empty() || held_.back().start < to) && readLine(line)) {
        std::optional<StoreEntry> entry = parseEntry(line);
        // Out of order is damage: that store is left out.
        if (!entry || entry->start < lastEnd_ || entry->end <= from)
            continue;
        lastEnd_ = entry->end;
        held_.push_back(std::move(*entry));
    }
    for (const StoreEntry& entry : held_) {
        if (entry.start >= to)
            break;
        out.push_back(entry);
    }
}

} // namespace kelmor::capture::fileops
