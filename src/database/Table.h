#pragma once

#include "database/Rows.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kelmor::database {

// A failure as the server or the driver told it.
struct Failure {
    enum class Kind {
        Unreachable, // no connection, or it was lost
        TimedOut,    // the statement took longer than the query timeout
        KeyTaken,    // an integrity constraint: the key may hold a row already
        Refused,     // anything else the server said no to
    };
    Kind kind = Kind::Refused;
    std::string state; // the SQL state
    std::string message;
};

struct RowToInsert {
    const Row* row = nullptr;
    std::chrono::system_clock::time_point receivedAt;
};

// The table as the sender sees it: (source, byte_offset) is its key.
class Table {
public:
    virtual ~Table() = default;
    // Opens a connection and makes sure the table is there.
    [[nodiscard]] virtual std::optional<Failure> connect() = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    // The sources that are `base` or `base #N`, exactly.
    [[nodiscard]] virtual std::optional<Failure> sources(const std::string& base,
                                                         std::vector<std::string>& found) = 0;
    // The row of this source with the highest offset, if any.
    [[nodiscard]] virtual std::optional<Failure> lastRow(const std::string& source,
                                                         std::optional<Row>& last) = 0;
    // The text under a key, if any.
    [[nodiscard]] virtual std::optional<Failure>
    textAt(const std::string& source, std::uint64_t offset, std::optional<std::string>& text) = 0;
    // The rows in one transaction: all of them, or none.
    [[nodiscard]] virtual std::optional<Failure> insert(const std::string& source,
                                                        const std::string& port,
                                                        const std::vector<RowToInsert>& rows,
                                                        std::size_t perStatement) = 0;
};

} // namespace kelmor::database
