#pragma once

#include "Table.h"
#include "database/Rows.h"
#include "database/Writer.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelmor::database {

using Clock = std::chrono::system_clock;

// The capture file as a store left it: this long, durably, at this time.
struct Mark {
    std::uint64_t size = 0;
    Clock::time_point when;
    // Only the file's modification time: the journal beside it knows better.
    bool fileTime = false;
};

// A capture file followed, with the stores made into it.
struct Followed {
    std::uint64_t id = 0;
    std::string file;
    std::string port;
    std::vector<Mark> marks; // the last one: all that is durable
};

// What the program and the sender share, under `lock`.
struct Outbox {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable ended;
    bool stop = false;
    bool finished = false;
    std::uint64_t lastId = 0;
    // Front: the file being sent; back: the file stores go into. A file
    // left by Save As stays until all its durable rows are in.
    std::deque<Followed> files;
    std::vector<std::string> messages;

    // The program's side, under the lock: a file to follow, a store made.
    // `durable` is empty where the file's size could not be read: then
    // nothing is sent from it before the first store says how long it is.
    void follow(const std::string& file, const std::string& port, std::optional<Mark> durable);
    void stored(Mark mark);
};

// Everything that decides what goes into the table, and when. It reads the
// capture file only up to what a store made durable, sends each row once
// under a key that says where it is in which file, and never moves past a
// row the table has not taken.
class Sender {
public:
    using Pause = std::chrono::milliseconds;
    static constexpr Pause Idle{1000};
    static constexpr Pause LongestWait{60000};
    static constexpr std::size_t MostRowsPerStatement = 100;
    static constexpr std::size_t StatementsPerTransaction = 10;

    Sender(Outbox& outbox, Table& table, Settings settings, std::function<std::string()> hostName);

    // One step of work: how long to wait before the next (0: go on at once).
    Pause step();
    // Steps until stopped: waits as each step says, and gathers stores for
    // a moment when they come one at a time.
    void run(Pause gather);

    // The rows one transaction takes now.
    std::size_t transactionRows() const { return statementRows_ * StatementsPerTransaction; }

private:
    struct Position {
        std::uint64_t entry = 0; // which Followed
        std::string file;
        std::string base;
        std::string source;
        int newest = 0; // the highest suffix under base
        std::uint64_t next = 0;
        Before before = Before::LineStart;
        std::optional<Row> last; // the last row sent, to tell the file is still the same
    };
    struct Front {
        std::uint64_t id = 0;
        std::string file;
        std::string port;
        std::uint64_t durable = 0;
        bool more = false;  // a later file follows: this one grows no more
        bool known = false; // how much of it is durable is known
    };

    std::optional<Front> front();
    std::vector<Mark> marksPast(std::uint64_t id, std::uint64_t next, std::size_t most);
    void forget(std::uint64_t id, std::uint64_t next);
    void pop(std::uint64_t id);

    std::optional<Failure> position(const Front& front);
    Pause send(const Front& front);
    Pause oneByOne(const Front& front, const std::vector<Row>& rows,
                   const std::vector<Resume>& after, const std::vector<RowToInsert>& batch);
    void wentIn(const Row& row, const Resume& after);
    Pause newFile(const Front& front);
    std::optional<Failure> nextSuffix();
    Pause anotherWriter();
    Pause trouble(const Failure& failed);
    Pause refused(const Row& row, const Failure& failed);
    Pause cannotRead(const std::string& reason);
    Pause backOff();
    void caughtUp();
    void say(const std::string& text);
    std::string tableName() const;

    Outbox& outbox_;
    Table& table_;
    Settings settings_;
    std::function<std::string()> hostName_;
    std::optional<Position> pos_;
    std::optional<std::string> readFailure_;
    std::size_t statementRows_ = MostRowsPerStatement;
    int successes_ = 0;
    Pause wait_ = Idle;
    bool backingOff_ = false;
    bool unreachable_ = false;
    bool openAtStart_ = false;    // the connection, when this step began
    bool caughtUpBySend_ = false; // this step sent all there was: the line is live
    bool reconnectedSilently_ = false;
    std::size_t sentSince_ = 0;
    // What was said, so that each thing is said once.
    std::optional<std::string> said_;
};

} // namespace kelmor::database
