#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelmor::database {

struct Settings {
    std::string connection;               // an ODBC connection string, or DSN=name
    std::string table = "kelmor_records"; // a plain SQL name
    std::string source;                   // empty: this host and the capture file's path
};

// The longest --source: the table's column holds 1,024 characters, and a
// replaced file's rows go under "SOURCE #N".
constexpr std::size_t MaxSourceLength = 1000;

// Whether a table name is a plain SQL name, safe to put in a statement.
bool isPlainName(const std::string& name);

// The connection string with its password hidden, for any message.
std::string withoutPassword(const std::string& text, const std::string& connection);

// Sends every line of the capture file to a table, on a thread of its own:
// nothing here ever waits for the server. Each row once: its key is where it
// starts in which file, and a row already there counts only with the same
// text. The capture file is the outbox. Rows are read from what a store made
// durable in it, from the table's own last row for this source on, never
// from a queue in memory: a record stored while the server was away, or
// before the program was killed, goes in when it is back.
class Writer {
public:
    using Clock = std::chrono::system_clock;

    explicit Writer(Settings settings);
    // Gives up the statement under way and waits a moment for the thread; a
    // server that does not answer even that is left behind, and the rows go
    // in at the next start.
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // The capture file to follow from now on, and the port it comes from.
    // The rows of a file followed before still go in.
    void follow(const std::string& captureFile, const std::string& port);
    // A store made the capture file this long, durably, now.
    void stored(std::uint64_t size, Clock::time_point when = Clock::now());
    // What the user should hear: the server gone, the server back, a file
    // replaced. Each once.
    std::vector<std::string> takeMessages();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kelmor::database
