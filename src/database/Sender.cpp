#include "Sender.h"

#include "capture/FileAccess.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace kelmor::database {

using capture::canonicalName;
using capture::readFileAt;
using capture::ReadResult;
using capture::StoreTime;
using capture::storeTimes;

namespace {

constexpr std::size_t ReadAtMost = 256 << 10;
// Successes at one statement size before it grows again after a timeout.
constexpr int GrowAfter = 4;

// The N of "base #N"; 0 for base itself; -1 for anything else.
int suffixOf(const std::string& base, const std::string& source) {
    if (source == base)
        return 0;
    const std::string prefix = base + " #";
    if (source.size() <= prefix.size() || source.rfind(prefix, 0) != 0 ||
        source.size() - prefix.size() > 9)
        return -1;
    int n = 0;
    for (std::size_t i = prefix.size(); i < source.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(source[i])))
            return -1;
        n = n * 10 + (source[i] - '0');
    }
    return n;
}

} // namespace

Sender::Sender(Outbox& outbox, Table& table, Settings settings,
               std::function<std::string()> hostName)
    : outbox_(outbox), table_(table), settings_(std::move(settings)),
      hostName_(std::move(hostName)) {}

Sender::Pause Sender::step() {
    const std::optional<Front> f = front();
    if (!f)
        return Idle;
    if (!f->known) { // nothing is known durable in it; a file left behind is let go
        if (f->more)
            pop(f->id);
        return f->more ? Pause(0) : Idle;
    }
    openAtStart_ = table_.isOpen();
    caughtUpBySend_ = false;
    if (!openAtStart_)
        if (auto failed = table_.connect())
            return trouble(*failed);
    if (pos_ && pos_->entry != f->id)
        pos_.reset();
    if (!pos_) {
        readFailure_.reset();
        if (auto failed = position(*f))
            return trouble(*failed);
        if (readFailure_)
            return cannotRead(*readFailure_);
    }
    if (pos_->next > f->durable) // the file is shorter than what was sent from it
        return newFile(*f);
    if (pos_->next == f->durable) {
        if (f->more) {
            pop(f->id);
            pos_.reset();
            return Pause(0);
        }
        caughtUp();
        return Idle;
    }
    if (const auto& last = pos_->last) {
        const ReadResult r = readFileAt(f->file, last->offset, last->text.size());
        if (r.failure)
            return cannotRead(*r.failure);
        if (r.bytes != last->text)
            return newFile(*f);
    }
    return send(*f);
}

std::optional<Failure> Sender::position(const Front& front) {
    Position pos;
    pos.entry = front.id;
    pos.file = front.file;
    pos.base =
        settings_.source.empty() ? hostName_() + ":" + canonicalName(front.file) : settings_.source;
    std::vector<std::string> found;
    if (auto failed = table_.sources(pos.base, found))
        return failed;
    std::vector<std::pair<int, std::string>> bySuffix;
    for (const std::string& source : found)
        if (const int n = suffixOf(pos.base, source); n >= 0)
            bySuffix.emplace_back(n, source);
    // The newest first: the file most likely to be this one.
    std::sort(bySuffix.rbegin(), bySuffix.rend());
    pos.newest = bySuffix.empty() ? 0 : bySuffix.front().first;
    for (const auto& [n, source] : bySuffix) {
        std::optional<Row> last;
        if (auto failed = table_.lastRow(source, last))
            return failed;
        if (!last || last->offset + last->text.size() > front.durable)
            continue; // this file never held that row
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(last->text.size() + 2, front.durable - last->offset));
        const ReadResult r = readFileAt(front.file, last->offset, want);
        if (r.failure) {
            readFailure_ = r.failure;
            return std::nullopt;
        }
        if (r.bytes.size() < last->text.size() || r.bytes.compare(0, last->text.size(), last->text))
            continue;
        const Resume resume = afterRow(*last, std::string_view(r.bytes).substr(last->text.size()));
        pos.source = source;
        pos.next = resume.next;
        pos.before = resume.before;
        pos.last = std::move(last);
        pos_ = std::move(pos);
        return std::nullopt;
    }
    pos.source = pos.base;
    if (!bySuffix.empty()) {
        pos.source = pos.base + " #" + std::to_string(++pos.newest);
        say("The capture file \"" + front.file +
            "\" is not the one the database holds rows of under the source \"" + pos.base +
            "\"; its rows go in under the source \"" + pos.source + "\", from its start");
    }
    pos_ = std::move(pos);
    return std::nullopt;
}

Sender::Pause Sender::send(const Front& front) {
    const std::size_t limit = transactionRows();
    // Each store's end is a piece's end; a transaction spans many stores.
    const std::vector<Mark> marks = marksPast(front.id, pos_->next, limit * 2 + 1);
    if (marks.empty())
        return Idle;
    const std::uint64_t end = marks.back().size;
    std::vector<Row> rows;
    std::vector<Resume> after;
    std::uint64_t cur = pos_->next;
    Before before = pos_->before;
    auto mark = marks.begin();
    bool full = false;
    while (cur < end && !full) {
        const std::uint64_t chunkEnd = std::min<std::uint64_t>(end, cur + ReadAtMost);
        const ReadResult r = readFileAt(front.file, cur, static_cast<std::size_t>(chunkEnd - cur));
        if (r.failure)
            return cannotRead(*r.failure);
        if (r.bytes.size() < chunkEnd - cur)
            return newFile(front); // shorter than a store left it
        std::uint64_t at = cur;
        while (at < chunkEnd) {
            while (mark != marks.end() && mark->size <= at)
                ++mark;
            const bool storeEnds = mark != marks.end() && mark->size <= chunkEnd;
            const std::uint64_t to = storeEnds ? mark->size : chunkEnd;
            const std::string_view bytes(r.bytes.data() + (at - cur),
                                         static_cast<std::size_t>(to - at));
            Split split = splitRows(bytes, at, storeEnds, before);
            if (split.rows.empty() && split.next == at) {
                if (at != cur)
                    break;                                  // read on from here
                split = splitRows(bytes, at, true, before); // a line longer than a read
            }
            for (const Row& row : split.rows) {
                rows.push_back(row);
                after.push_back(afterRow(row, bytes.substr(static_cast<std::size_t>(
                                                  row.offset + row.text.size() - at))));
                if (rows.size() == limit)
                    break;
            }
            if (rows.size() == limit) {
                at = after.back().next;
                before = after.back().before;
                full = true;
                break;
            }
            at = split.next;
            before = split.before;
            if (split.next < to)
                break;
        }
        cur = at;
    }
    if (rows.empty()) { // only a line's end: nothing to insert
        pos_->next = cur;
        pos_->before = before;
        forget(front.id, cur);
        return Pause(0);
    }
    std::vector<RowToInsert> batch;
    batch.reserve(rows.size());
    // Rows stored before this run: the journal beside the file has their time.
    std::vector<StoreTime> journal;
    if (marks.front().fileTime && rows.front().offset < marks.front().size)
        journal = storeTimes(front.file, rows.front().offset,
                             std::min(marks.front().size, rows.back().offset + 1));
    auto known = journal.begin();
    for (const Row& row : rows) {
        // The store that brought the row's first byte.
        auto by = std::upper_bound(marks.begin(), marks.end(), row.offset,
                                   [](std::uint64_t n, const Mark& m) { return n < m.size; });
        Clock::time_point when = by != marks.end() ? by->when : Clock::now();
        if (by != marks.end() && by->fileTime) {
            while (known != journal.end() && known->end <= row.offset)
                ++known;
            if (known != journal.end() && known->start <= row.offset)
                when = Clock::time_point(std::chrono::milliseconds(known->utcMs));
        }
        batch.push_back({&row, when});
    }
    const auto failed = table_.insert(pos_->source, front.port, batch, statementRows_);
    if (!failed) {
        for (std::size_t i = 0; i < rows.size(); ++i)
            wentIn(rows[i], after[i]);
        pos_->next = cur;
        pos_->before = before;
        forget(front.id, cur);
        caughtUpBySend_ = !full;
        if (++successes_ >= GrowAfter && statementRows_ < MostRowsPerStatement) {
            statementRows_ = std::min(statementRows_ * 2, MostRowsPerStatement);
            successes_ = 0;
        }
        return Pause(0);
    }
    switch (failed->kind) {
    case Failure::Kind::Unreachable:
        return trouble(*failed);
    case Failure::Kind::TimedOut:
        if (rows.size() > 1) { // smaller statements, until they fit the timeout
            statementRows_ = std::max<std::size_t>(1, std::min(statementRows_, rows.size()) / 2);
            successes_ = 0;
            return Pause(0);
        }
        return refused(rows.front(), *failed);
    case Failure::Kind::KeyTaken:
    case Failure::Kind::Refused:
        break;
    }
    return oneByOne(front, rows, after, batch);
}

// Row by row, to find which one the table will not take and why.
Sender::Pause Sender::oneByOne(const Front& front, const std::vector<Row>& rows,
                               const std::vector<Resume>& after,
                               const std::vector<RowToInsert>& batch) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto failed = table_.insert(pos_->source, front.port, {batch[i]}, 1);
        if (failed && failed->kind == Failure::Kind::Unreachable)
            return trouble(*failed);
        if (failed && failed->kind == Failure::Kind::KeyTaken) {
            // Already there only where the key holds this very text.
            std::optional<std::string> there;
            if (auto lookup = table_.textAt(pos_->source, rows[i].offset, there))
                return trouble(*lookup);
            if (there && *there != rows[i].text)
                return anotherWriter();
            if (!there)
                return refused(rows[i], *failed);
        } else if (failed) {
            return refused(rows[i], *failed);
        }
        wentIn(rows[i], after[i]);
        forget(front.id, after[i].next);
    }
    return Pause(0);
}

void Sender::wentIn(const Row& row, const Resume& after) {
    pos_->next = after.next;
    pos_->before = after.before;
    pos_->last = row;
    ++sentSince_;
    wait_ = Idle;
    backingOff_ = false;
    reconnectedSilently_ = false;
    said_.reset();
}

std::optional<Failure> Sender::nextSuffix() {
    std::vector<std::string> found;
    if (auto failed = table_.sources(pos_->base, found))
        return failed;
    for (const std::string& source : found)
        pos_->newest = std::max(pos_->newest, suffixOf(pos_->base, source));
    pos_->source = pos_->base + " #" + std::to_string(++pos_->newest);
    return std::nullopt;
}

Sender::Pause Sender::newFile(const Front& front) {
    if (auto failed = nextSuffix())
        return trouble(*failed);
    pos_->next = 0;
    pos_->before = Before::LineStart;
    pos_->last.reset();
    say("The capture file \"" + front.file +
        "\" was replaced or cut behind the program's back; its rows go on in the database "
        "under the source \"" +
        pos_->source + "\", from its start");
    return Pause(0);
}

Sender::Pause Sender::anotherWriter() {
    const std::string was = pos_->source;
    if (auto failed = nextSuffix())
        return trouble(*failed);
    say("Another capture writes into table " + tableName() + " under the source \"" + was +
        "\"; this capture's rows go on under \"" + pos_->source + "\"");
    return Pause(0);
}

} // namespace kelmor::database
