#pragma once

#include "database/Rows.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The one place that knows ODBC: a connection, the table's SQL for each
// database system, and the few statements the writer needs.
namespace kelmor::database::odbc {

// A failure as the driver told it: the SQL state and its message.
struct Failure {
    std::string state;
    std::string message;
    bool duplicateKey() const { return state.rfind("23", 0) == 0; }
};

struct RowToInsert {
    const Row* row;
    std::chrono::system_clock::time_point receivedAt;
};

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects, waiting at most loginSeconds; every statement then waits at
    // most querySeconds for the server.
    [[nodiscard]] std::optional<Failure> open(const std::string& connection, int loginSeconds,
                                              int querySeconds);
    void close();
    bool isOpen() const { return dbc_ != nullptr; }

    // SQLGetInfo(SQL_DBMS_NAME): "PostgreSQL", "SQLite", "Microsoft SQL Server", ...
    std::string dbmsName();
    // Creates the table where this system's SQL is known, else expects it.
    [[nodiscard]] std::optional<Failure> ensureTable(const std::string& table);
    // The row of this source with the highest offset, if any.
    [[nodiscard]] std::optional<Failure>
    lastRow(const std::string& table, const std::string& source, std::optional<Row>& last);
    // The sources that are `base` or `base #N`, as the table holds them.
    [[nodiscard]] std::optional<Failure>
    sourcesOf(const std::string& table, const std::string& base, std::vector<std::string>& sources);
    // Inserts the rows in one transaction. A row already there (a duplicate
    // key) counts as inserted.
    [[nodiscard]] std::optional<Failure> insert(const std::string& table, const std::string& source,
                                                const std::string& port,
                                                const std::vector<RowToInsert>& rows);

private:
    std::optional<Failure> insertEach(const std::string& table, const std::string& source,
                                      const std::string& port, const std::vector<RowToInsert>& rows,
                                      std::size_t perStatement, bool ignoreDuplicates);

    void* env_ = nullptr;
    void* dbc_ = nullptr;
    int querySeconds_ = 10;
};

// The CREATE TABLE for a database system, empty where it is not known.
std::string createTableSql(const std::string& dbms, const std::string& table);

} // namespace kelmor::database::odbc
