#include "database/Writer.h"

#include "Odbc.h"
#include "database/Rows.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace kelmor::database {

namespace {

namespace fs = std::filesystem;
using Clock = Writer::Clock;

constexpr int LoginSeconds = 5;
constexpr int QuerySeconds = 10;
constexpr std::size_t RowsPerTransaction = 200;
constexpr std::size_t ReadAtMost = 256 << 10;
constexpr auto LongestWait = std::chrono::seconds(60);
constexpr auto Gather = std::chrono::milliseconds(50);

// The line comes first: this thread gives way to the window's.
void yieldToTheLine() {
#ifdef _WIN32
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#elif defined(__linux__)
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
#endif
}

std::string lower(std::string text) {
    for (char& ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

// The value of a key=value; pair, case-insensitive key.
std::string valueOf(const std::string& connection, const std::string& key) {
    const std::string text = lower(connection);
    for (std::size_t at = 0; (at = text.find(key + "=", at)) != std::string::npos; ++at) {
        if (at > 0 && text[at - 1] != ';' && text[at - 1] != ' ')
            continue;
        std::size_t start = at + key.size() + 1;
        std::size_t end = connection.find(';', start);
        if (start < connection.size() && connection[start] == '{')
            end = connection.find('}', ++start);
        return connection.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return {};
}

std::string hostName() {
    char name[256] = {};
#ifdef _WIN32
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size))
        return "localhost";
#else
    if (::gethostname(name, sizeof name - 1) != 0)
        return "localhost";
#endif
    return name;
}

// A PostgreSQL connection notices a dead network in seconds, not hours.
std::string withKeepalives(const std::string& connection) {
    const std::string text = lower(connection);
    if (text.find("postgres") == std::string::npos || text.find("pqopt") != std::string::npos)
        return connection;
    std::string out = connection;
    if (!out.empty() && out.back() != ';')
        out += ';';
    return out + "pqopt={keepalives=1 keepalives_idle=5 keepalives_interval=2 "
                 "keepalives_count=2 tcp_user_timeout=10000}";
}

struct Mark {
    std::uint64_t size; // the capture file as a store left it
    Clock::time_point when;
};

std::string readAt(const std::string& path, std::uint64_t offset, std::size_t length) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

} // namespace

bool isPlainName(const std::string& name) {
    if (name.empty() || name.size() > 64 || std::isdigit(static_cast<unsigned char>(name[0])))
        return false;
    return std::all_of(name.begin(), name.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_';
    });
}

std::string withoutPassword(const std::string& text, const std::string& connection) {
    std::string out = text;
    for (const char* key : {"pwd", "password"}) {
        const std::string secret = valueOf(connection, key);
        if (secret.empty())
            continue;
        for (std::size_t at; (at = out.find(secret)) != std::string::npos;)
            out.replace(at, secret.size(), "***");
    }
    return out;
}

struct Writer::State {
    Settings settings;
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable ended;
    // Guarded by lock:
    bool stop = false;
    bool finished = false;
    std::uint64_t generation = 0; // a new file to follow
    std::string file;
    std::string port;
    std::vector<Mark> marks;
    std::vector<std::string> messages;

    void say(std::string text) {
        const std::lock_guard guard(lock);
        messages.push_back(withoutPassword(text, settings.connection));
    }
};

namespace {

// The thread: everything that talks to the server.
class Sender {
public:
    explicit Sender(std::shared_ptr<Writer::State> state) : s_(std::move(state)) {}

    void run() {
        yieldToTheLine();
        auto pause = std::chrono::milliseconds(0);
        for (;;) {
            std::string file;
            std::uint64_t durable = 0;
            {
                std::unique_lock guard(s_->lock);
                const auto interrupted = [&] { return s_->stop || s_->generation != generation_; };
                if (pause.count() > 0)
                    s_->wake.wait_for(guard, pause, [&] {
                        return interrupted() || (next_ && !s_->marks.empty() &&
                                                 s_->marks.back().size > *next_ && db_.isOpen());
                    });
                // A moment for more records to join the next statement: one
                // round trip for many, and less work beside the line.
                if (pause.count() > 0 && !interrupted())
                    s_->wake.wait_for(guard, Gather, interrupted);
                if (s_->stop)
                    break;
                if (s_->generation != generation_) {
                    generation_ = s_->generation;
                    next_.reset();
                    port_ = s_->port;
                }
                file = s_->file;
                durable = s_->marks.empty() ? 0 : s_->marks.back().size;
            }
            pause = step(file, durable);
        }
        db_.close();
        const std::lock_guard guard(s_->lock);
        s_->finished = true;
        s_->ended.notify_all();
    }

private:
    using Pause = std::chrono::milliseconds;

    // One step of work; how long to wait before the next.
    Pause step(const std::string& file, std::uint64_t durable) {
        if (file.empty())
            return Pause(1000);
        if (!db_.isOpen()) {
            if (auto failed =
                    db_.open(withKeepalives(s_->settings.connection), LoginSeconds, QuerySeconds))
                return lost(*failed);
            if (auto failed = db_.ensureTable(s_->settings.table))
                return lost(*failed);
        }
        if (!next_) {
            if (auto failed = position(file, durable))
                return lost(*failed);
        }
        if (*next_ > durable) { // shorter than what was sent: another file
            replaced(file, durable);
            return Pause(0);
        }
        if (*next_ == durable) {
            if (unreachable_) {
                unreachable_ = false;
                s_->say("The database is reachable again; the " + std::to_string(sent_) +
                        " rows kept meanwhile have been sent");
            }
            wait_ = Pause(1000);
            return Pause(1000);
        }
        // The last row sent must still be in the file as sent.
        if (last_ && readAt(file, last_->offset, last_->text.size()) != last_->text) {
            replaced(file, durable);
            return Pause(0);
        }
        return send(file, durable);
    }

    Pause send(const std::string& file, std::uint64_t durable) {
        // A store's end is a piece's end: a piece never spans two stores.
        std::uint64_t end = std::min<std::uint64_t>(durable, *next_ + ReadAtMost);
        std::vector<Mark> marks;
        {
            const std::lock_guard guard(s_->lock);
            marks = s_->marks;
        }
        bool pieceEnds = end == durable;
        for (const Mark& m : marks)
            if (m.size > *next_ && m.size <= end) {
                end = m.size;
                pieceEnds = true;
                break;
            }
        const std::string bytes = readAt(file, *next_, static_cast<std::size_t>(end - *next_));
        if (bytes.size() != end - *next_) {
            replaced(file, durable);
            return Pause(0);
        }
        Split split = splitRows(bytes, *next_, pieceEnds, before_);
        if (split.rows.empty() && split.next == *next_) // one line longer than a read
            split = splitRows(bytes, *next_, true, before_);
        std::vector<odbc::RowToInsert> batch;
        for (const Row& row : split.rows) {
            Clock::time_point when = Clock::now();
            for (const Mark& m : marks)
                if (m.size > row.offset) {
                    when = m.when;
                    break;
                }
            batch.push_back({&row, when});
            if (batch.size() == RowsPerTransaction || &row == &split.rows.back()) {
                if (auto failed = db_.insert(s_->settings.table, source_, port_, batch))
                    return lost(*failed);
                sent_ += batch.size();
                last_ = *batch.back().row;
                wait_ = Pause(1000);
                batch.clear();
            }
        }
        before_ = split.before;
        *next_ = split.next;
        {
            const std::lock_guard guard(s_->lock);
            // Keep the mark at or past the resume point: it dates the next rows.
            auto& all = s_->marks;
            while (all.size() > 1 && all[1].size <= *next_)
                all.erase(all.begin());
        }
        return Pause(0);
    }

    // Where to go on for this file: from the last row of its source.
    std::optional<odbc::Failure> position(const std::string& file, std::uint64_t durable) {
        base_ = s_->settings.source.empty()
                    ? hostName() + ":" + fs::absolute(file).lexically_normal().string()
                    : s_->settings.source;
        std::vector<std::string> sources;
        if (auto failed = db_.sourcesOf(s_->settings.table, base_, sources))
            return failed;
        if (sources.empty()) {
            source_ = base_;
            next_ = 0;
            last_.reset();
            before_ = Before::LineStart;
            return std::nullopt;
        }
        int newest = -1;
        for (const std::string& source : sources) {
            const int n = source == base_ ? 0 : std::atoi(source.c_str() + base_.size() + 2);
            std::optional<Row> last;
            if (auto failed = db_.lastRow(s_->settings.table, source, last))
                return failed;
            newest = std::max(newest, n);
            if (!last)
                continue;
            const std::string following = readAt(file, last->offset, last->text.size() + 2);
            if (following.compare(0, last->text.size(), last->text) != 0)
                continue; // not this file's
            source_ = source;
            const Resume resume =
                afterRow(*last, std::string_view(following).substr(last->text.size()));
            next_ = resume.next;
            before_ = resume.before;
            last_ = last;
            return std::nullopt;
        }
        // The rows of this name are not this file's.
        startAnew(file, durable, newest + 1);
        return std::nullopt;
    }

    void replaced(const std::string& file, std::uint64_t durable) {
        int n = 1;
        if (source_ != base_)
            n = std::atoi(source_.c_str() + base_.size() + 2) + 1;
        startAnew(file, durable, n);
    }

    void startAnew(const std::string& file, std::uint64_t durable, int n) {
        source_ = base_ + " #" + std::to_string(n);
        std::error_code ec;
        const std::uint64_t size = fs::file_size(file, ec);
        next_ = ec ? durable : std::min(size, durable);
        last_.reset();
        const std::string previous = durable > 0 ? readAt(file, durable - 1, 1) : std::string();
        before_ = previous == "\r"   ? Before::Cr
                  : previous.empty() ? Before::LineStart
                                     : Before::Piece;
        s_->say("The capture file \"" + file +
                "\" was replaced or cut behind the program's back; its rows go on in the "
                "database under the source \"" +
                source_ + "\", from its end");
    }

    Pause lost(const odbc::Failure& failed) {
        db_.close();
        next_.reset();
        if (!unreachable_) {
            unreachable_ = true;
            sent_ = 0;
            s_->say("Cannot reach the database: " + failed.message +
                    "; records are kept in the capture file and sent when it is back");
        }
        const Pause now = wait_;
        wait_ = std::min<Pause>(wait_ * 2, LongestWait);
        return now;
    }

    std::shared_ptr<Writer::State> s_;
    odbc::Connection db_;
    std::uint64_t generation_ = 0;
    std::string port_;
    std::string base_;
    std::string source_;
    std::optional<std::uint64_t> next_;
    std::optional<Row> last_;
    Before before_ = Before::LineStart;
    bool unreachable_ = false;
    std::size_t sent_ = 0;
    Pause wait_{1000};
};

} // namespace

Writer::Writer(Settings settings) : state_(std::make_shared<State>()) {
    state_->settings = std::move(settings);
    std::thread([state = state_] { Sender(state).run(); }).detach();
}

Writer::~Writer() {
    std::unique_lock guard(state_->lock);
    state_->stop = true;
    state_->wake.notify_all();
    // A frozen server is not waited for: the thread holds its own share of
    // the state and ends with the process; the rows go in at the next start.
    state_->ended.wait_for(guard, std::chrono::seconds(3), [&] { return state_->finished; });
}

void Writer::follow(const std::string& captureFile, const std::string& port) {
    std::error_code ec;
    const auto size = fs::file_size(captureFile, ec);
    const auto modified = fs::last_write_time(captureFile, ec);
    Clock::time_point when = Clock::now();
    if (!ec)
        when = std::chrono::time_point_cast<Clock::duration>(
            std::chrono::file_clock::to_sys(modified));
    const std::lock_guard guard(state_->lock);
    state_->file = captureFile;
    state_->port = port;
    state_->marks = {Mark{ec ? 0 : size, when}};
    ++state_->generation;
    state_->wake.notify_all();
}

void Writer::stored(std::uint64_t size, Clock::time_point when) {
    const std::lock_guard guard(state_->lock);
    auto& marks = state_->marks;
    if (!marks.empty() && size == marks.back().size)
        return;
    if (!marks.empty() && size < marks.back().size)
        marks.clear(); // not the file the marks were of: replaced or cut
    marks.push_back({size, when});
    state_->wake.notify_all();
}

std::vector<std::string> Writer::takeMessages() {
    const std::lock_guard guard(state_->lock);
    return std::exchange(state_->messages, {});
}

} // namespace kelmor::database
