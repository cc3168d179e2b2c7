#include "ConnectionString.h"
#include "Odbc.h"

// The table: made where it is missing and its system's SQL is known, and
// reached through a connection with keepalives where the driver takes them.
namespace kelmor::database::odbc {

namespace {

constexpr int LoginSeconds = 5;
constexpr int QuerySeconds = 10;

} // namespace

std::string createTableSql(const std::string& dbms, const std::string& table) {
    const std::string key = ", PRIMARY KEY (source, byte_offset))";
    if (dbms == "PostgreSQL")
        return "CREATE TABLE IF NOT EXISTS " + table +
               " (source VARCHAR(1024) NOT NULL, byte_offset BIGINT NOT NULL,"
               " received_at TIMESTAMP(3) NOT NULL, port VARCHAR(64) NOT NULL, text TEXT NOT NULL" +
               key;
    if (dbms == "SQLite")
        return "CREATE TABLE IF NOT EXISTS " + table +
               " (source TEXT NOT NULL, byte_offset INTEGER NOT NULL,"
               " received_at TIMESTAMP NOT NULL, port TEXT NOT NULL, text TEXT NOT NULL" +
               key;
    if (dbms == "MySQL" || dbms == "MariaDB")
        return "CREATE TABLE IF NOT EXISTS " + table +
               " (source VARCHAR(512) NOT NULL, byte_offset BIGINT NOT NULL,"
               " received_at DATETIME(3) NOT NULL, port VARCHAR(64) NOT NULL,"
               " text LONGTEXT NOT NULL" +
               key;
    if (dbms == "Microsoft SQL Server")
        return "CREATE TABLE " + table +
               " (source NVARCHAR(450) NOT NULL, byte_offset BIGINT NOT NULL,"
               " received_at DATETIME2(3) NOT NULL, port NVARCHAR(64) NOT NULL,"
               " text NVARCHAR(MAX) NOT NULL" +
               key;
    return {};
}

OdbcTable::OdbcTable(std::string connection, std::string table)
    : connection_(std::move(connection)), name_(std::move(table)) {}

std::optional<Failure> OdbcTable::connect() {
    if (auto failed = db_.open(connection_, LoginSeconds, QuerySeconds))
        return failed;
    // A PostgreSQL connection notices a dead network in seconds, not hours:
    // keepalives go into the user's own driver options, never in their place.
    if (db_.dbmsName() == "PostgreSQL" && db_.driverName().find("psqlodbc") != std::string::npos) {
        const std::string dsn = dsnOf(connection_);
        const std::string with =
            withKeepalives(connection_, dsn.empty() ? std::string() : dsnSetting(dsn, "pqopt"));
        if (with != connection_)
            if (auto failed = db_.open(with, LoginSeconds, QuerySeconds))
                return failed;
    }
    quoted_ = db_.identifier(name_);
    if (db_.tableAnswers(quoted_))
        return std::nullopt;
    const std::string sql = createTableSql(db_.dbmsName(), quoted_);
    if (sql.empty())
        return std::nullopt; // a system whose SQL we do not know: the INSERT will say
    auto failed = db_.execute(sql);
    // Another program may have made it meanwhile.
    if (failed && failed->kind != Failure::Kind::Unreachable && db_.tableAnswers(quoted_))
        return std::nullopt;
    return failed;
}

std::optional<Failure> OdbcTable::sources(const std::string& base,
                                          std::vector<std::string>& found) {
    return db_.sourcesOf(quoted_, base, found);
}

std::optional<Failure> OdbcTable::lastRow(const std::string& source, std::optional<Row>& last) {
    return db_.lastRow(quoted_, source, last);
}

std::optional<Failure> OdbcTable::textAt(const std::string& source, std::uint64_t offset,
                                         std::optional<std::string>& text) {
    return db_.textAt(quoted_, source, offset, text);
}

std::optional<Failure> OdbcTable::insert(const std::string& source, const std::string& port,
                                         const std::vector<RowToInsert>& rows,
                                         std::size_t perStatement) {
    return db_.insert(quoted_, source, port, rows, perStatement);
}

} // namespace kelmor::database::odbc
