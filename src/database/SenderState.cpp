#include "Sender.h"

#include <algorithm>

// The sender's side of the outbox, its waits, and what it says.
namespace kelmor::database {

void Outbox::follow(const std::string& file, const std::string& port, std::optional<Mark> durable) {
    const std::lock_guard guard(lock);
    if (!files.empty() && files.back().file == file) {
        files.back().port = port;
        return;
    }
    files.push_back({++lastId, file, port, {}});
    if (durable)
        files.back().marks.push_back(*durable);
    wake.notify_all();
}

void Outbox::stored(Mark mark) {
    const std::lock_guard guard(lock);
    if (files.empty())
        return;
    auto& marks = files.back().marks;
    if (!marks.empty() && mark.size == marks.back().size)
        return;
    if (!marks.empty() && mark.size < marks.back().size)
        marks.clear(); // not the file the marks were of: replaced or cut
    marks.push_back(mark);
    wake.notify_all();
}

std::optional<Sender::Front> Sender::front() {
    const std::lock_guard guard(outbox_.lock);
    if (outbox_.files.empty())
        return std::nullopt;
    const Followed& f = outbox_.files.front();
    return Front{f.id,
                 f.file,
                 f.port,
                 f.marks.empty() ? 0 : f.marks.back().size,
                 outbox_.files.size() > 1,
                 !f.marks.empty()};
}

std::vector<Mark> Sender::marksPast(std::uint64_t id, std::uint64_t next, std::size_t most) {
    const std::lock_guard guard(outbox_.lock);
    std::vector<Mark> out;
    if (outbox_.files.empty() || outbox_.files.front().id != id)
        return out;
    const auto& marks = outbox_.files.front().marks;
    auto it = std::upper_bound(marks.begin(), marks.end(), next,
                               [](std::uint64_t n, const Mark& m) { return n < m.size; });
    for (; it != marks.end() && out.size() < most; ++it)
        out.push_back(*it);
    return out;
}

void Sender::forget(std::uint64_t id, std::uint64_t next) {
    const std::lock_guard guard(outbox_.lock);
    if (outbox_.files.empty() || outbox_.files.front().id != id)
        return;
    // The first mark past the resume point dates the next rows; those before it are done.
    auto& marks = outbox_.files.front().marks;
    std::size_t done = 0;
    while (done + 1 < marks.size() && marks[done].size <= next)
        ++done;
    marks.erase(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(done));
}

void Sender::pop(std::uint64_t id) {
    const std::lock_guard guard(outbox_.lock);
    if (outbox_.files.size() > 1 && outbox_.files.front().id == id)
        outbox_.files.pop_front();
}

void Sender::say(const std::string& text) {
    const std::lock_guard guard(outbox_.lock);
    outbox_.messages.push_back(withoutPassword(text, settings_.connection));
}

std::string Sender::tableName() const {
    return "\"" + settings_.table + "\"";
}

Sender::Pause Sender::trouble(const Failure& failed) {
    table_.close();
    if (failed.kind == Failure::Kind::Unreachable) {
        // A connection the server dropped (a restart while all was quiet) is
        // made again at once, and only a second failure is news.
        if (openAtStart_ && !reconnectedSilently_ && !unreachable_) {
            reconnectedSilently_ = true;
            return Pause(0);
        }
        if (!unreachable_) {
            unreachable_ = true;
            sentSince_ = 0;
            say("Cannot reach the database: " + failed.message +
                "; records are kept in the capture file and sent when it is back");
        }
        return backOff();
    }
    const std::string text = "The database answered for table " + tableName() + ": " +
                             failed.message +
                             "; records are kept in the capture file and tried again";
    if (said_ != text) {
        said_ = text;
        say(text);
    }
    return backOff();
}

Sender::Pause Sender::refused(const Row& row, const Failure& failed) {
    const std::string text = "The database refused the row at byte " + std::to_string(row.offset) +
                             " of \"" + pos_->file + "\" for table " + tableName() + ": " +
                             failed.message + "; it and the rows after it are tried again";
    if (said_ != text) {
        said_ = text;
        say(text);
    }
    return backOff();
}

Sender::Pause Sender::cannotRead(const std::string& reason) {
    const std::string text =
        "Cannot read the capture file for the database: " + reason + "; tried again every second";
    if (said_ != text) {
        said_ = text;
        say(text);
    }
    return Idle;
}

Sender::Pause Sender::backOff() {
    backingOff_ = true;
    const Pause now = wait_;
    wait_ = std::min<Pause>(wait_ * 2, LongestWait);
    return now;
}

void Sender::caughtUp() {
    wait_ = Idle;
    backingOff_ = false;
    reconnectedSilently_ = false;
    said_.reset();
    if (unreachable_) {
        unreachable_ = false;
        say("The database is reachable again; the " + std::to_string(sentSince_) +
            " rows kept meanwhile have been sent");
    }
}

void Sender::run(Pause gather) {
    for (;;) {
        const Pause pause = step();
        std::unique_lock guard(outbox_.lock);
        // A file to follow from now on, or one to finish.
        const auto newFile = [&] {
            return !outbox_.files.empty() &&
                   (!pos_ || pos_->entry != outbox_.files.front().id || outbox_.files.size() > 1);
        };
        const auto stored = [&] {
            return !outbox_.files.empty() && pos_ &&
                   outbox_.files.front().marks.back().size > pos_->next;
        };
        if (pause.count() > 0 && backingOff_) {
            outbox_.wake.wait_for(guard, pause, [&] { return outbox_.stop; });
        } else if (pause.count() > 0 || caughtUpBySend_) {
            outbox_.wake.wait_for(guard, pause,
                                  [&] { return outbox_.stop || newFile() || stored(); });
            // Caught up, and a store came: a moment for more of them to join
            // the transaction, one commit for many, and less work beside the line.
            if (!outbox_.stop && !newFile() && stored())
                outbox_.wake.wait_for(guard, gather, [&] { return outbox_.stop; });
        }
        if (outbox_.stop)
            break;
    }
    table_.close();
    const std::lock_guard guard(outbox_.lock);
    outbox_.finished = true;
    outbox_.ended.notify_all();
}

} // namespace kelmor::database
