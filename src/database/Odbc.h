#pragma once

#include "Table.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The one place that knows ODBC: a connection, the table's SQL for each
// database system, and the few statements the writer needs.
namespace kelmor::database::odbc {

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects, waiting at most loginSeconds; every statement then waits at
    // most querySeconds for the server. `completed` is the connection string
    // as the driver completed it (a DSN's settings included).
    [[nodiscard]] std::optional<Failure> open(const std::string& connection, int loginSeconds,
                                              int querySeconds, std::string* completed = nullptr);
    void close();
    bool isOpen() const { return dbc_ != nullptr; }
    // From another thread: gives up the statement under way, if any.
    void cancel();

    // SQLGetInfo(SQL_DBMS_NAME): "PostgreSQL", "SQLite", "Microsoft SQL Server", ...
    std::string dbmsName();
    // SQLGetInfo(SQL_DRIVER_NAME), in lower case: "psqlodbcw.so", ...
    std::string driverName();
    // The name as it goes into a statement: quoted where it is a keyword.
    std::string identifier(const std::string& name);
    // Whether the table answers a query.
    [[nodiscard]] bool tableAnswers(const std::string& table);
    [[nodiscard]] std::optional<Failure> execute(const std::string& sql);

    [[nodiscard]] std::optional<Failure>
    lastRow(const std::string& table, const std::string& source, std::optional<Row>& last);
    [[nodiscard]] std::optional<Failure> textAt(const std::string& table, const std::string& source,
                                                std::uint64_t offset,
                                                std::optional<std::string>& text);
    [[nodiscard]] std::optional<Failure>
    sourcesOf(const std::string& table, const std::string& base, std::vector<std::string>& sources);
    // All the rows in one transaction, perStatement rows to an INSERT.
    [[nodiscard]] std::optional<Failure> insert(const std::string& table, const std::string& source,
                                                const std::string& port,
                                                const std::vector<RowToInsert>& rows,
                                                std::size_t perStatement);

private:
    class Statement;
    std::optional<Failure> autocommit(bool on);
    std::optional<Failure> insertAll(const std::string& table, const std::string& source,
                                     const std::string& port, const std::vector<RowToInsert>& rows,
                                     std::size_t perStatement);
    // The failure, as a lost connection where the driver says it is gone.
    Failure classify(Failure failure);

    void* env_ = nullptr;
    void* dbc_ = nullptr;
    int querySeconds_ = 10;
    std::mutex running_; // guards statement_ against cancel()
    void* statement_ = nullptr;
};

// A setting of a DSN as the ODBC configuration holds it, empty if none.
std::string dsnSetting(const std::string& dsn, const std::string& key);

// The CREATE TABLE for a database system, empty where it is not known.
std::string createTableSql(const std::string& dbms, const std::string& table);

// The table of the writer through ODBC.
class OdbcTable final : public Table {
public:
    OdbcTable(std::string connection, std::string table);

    std::optional<Failure> connect() override;
    bool isOpen() const override { return db_.isOpen(); }
    void close() override { db_.close(); }
    std::optional<Failure> sources(const std::string& base,
                                   std::vector<std::string>& found) override;
    std::optional<Failure> lastRow(const std::string& source, std::optional<Row>& last) override;
    std::optional<Failure> textAt(const std::string& source, std::uint64_t offset,
                                  std::optional<std::string>& text) override;
    std::optional<Failure> insert(const std::string& source, const std::string& port,
                                  const std::vector<RowToInsert>& rows,
                                  std::size_t perStatement) override;
    void cancel() { db_.cancel(); }

private:
    std::string connection_;
    std::string name_;
    std::string quoted_;
    Connection db_;
};

} // namespace kelmor::database::odbc
