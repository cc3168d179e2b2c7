#include "Odbc.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <ctime>

namespace kelmor::database::odbc {

namespace {

bool ok(SQLRETURN r) {
    return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

Failure diagnose(SQLSMALLINT type, SQLHANDLE handle) {
    Failure f;
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[1024] = {};
    SQLSMALLINT length = 0;
    for (SQLSMALLINT i = 1; ok(SQLGetDiagRec(type, handle, i, state, &native, text,
                                             static_cast<SQLSMALLINT>(sizeof text), &length));
         ++i) {
        if (i == 1)
            f.state = reinterpret_cast<const char*>(state);
        if (!f.message.empty())
            f.message += "; ";
        f.message += reinterpret_cast<const char*>(text);
    }
    // One line: drivers break theirs with newlines and tabs.
    std::string line;
    for (const char ch : f.message) {
        const bool space = ch == '\n' || ch == '\r' || ch == '\t' || ch == ' ';
        if (!space)
            line += ch;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    f.message = line;
    if (f.message.empty())
        f.message = "the driver gave no reason";
    return f;
}

// A statement handle for the life of a scope.
class Statement {
public:
    Statement(SQLHDBC dbc, int querySeconds) {
        if (ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt_)))
            SQLSetStmtAttr(stmt_, SQL_ATTR_QUERY_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(querySeconds)), 0);
        else
            stmt_ = nullptr;
    }
    ~Statement() {
        if (stmt_ != nullptr)
            SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    SQLHSTMT get() const { return stmt_; }
    Failure failure() const {
        return stmt_ != nullptr ? diagnose(SQL_HANDLE_STMT, stmt_)
                                : Failure{"HY001", "no statement handle"};
    }

private:
    SQLHSTMT stmt_ = nullptr;
};

// Rows in one INSERT: within every system's limits (SQL Server: 1000 rows,
// 2100 parameters).
constexpr std::size_t RowsPerStatement = 100;

SQLRETURN bindText(SQLHSTMT stmt, SQLUSMALLINT n, const std::string& text, SQLLEN& length) {
    length = static_cast<SQLLEN>(text.size());
    return SQLBindParameter(stmt, n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_LONGVARCHAR,
                            text.empty() ? 1 : text.size(), 0, const_cast<char*>(text.data()),
                            length, &length);
}

SQL_TIMESTAMP_STRUCT utc(std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm t{};
#ifdef _WIN32
    gmtime_s(&t, &seconds);
#else
    gmtime_r(&seconds, &t);
#endif
    SQL_TIMESTAMP_STRUCT ts{};
    ts.year = static_cast<SQLSMALLINT>(t.tm_year + 1900);
    ts.month = static_cast<SQLUSMALLINT>(t.tm_mon + 1);
    ts.day = static_cast<SQLUSMALLINT>(t.tm_mday);
    ts.hour = static_cast<SQLUSMALLINT>(t.tm_hour);
    ts.minute = static_cast<SQLUSMALLINT>(t.tm_min);
    ts.second = static_cast<SQLUSMALLINT>(t.tm_sec);
    ts.fraction = static_cast<SQLUINTEGER>(ms.count() % 1000) * 1000000u;
    return ts;
}

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
        return "IF OBJECT_ID(N'" + table + "', N'U') IS NULL CREATE TABLE " + table +
               " (source NVARCHAR(450) NOT NULL, byte_offset BIGINT NOT NULL,"
               " received_at DATETIME2(3) NOT NULL, port NVARCHAR(64) NOT NULL,"
               " text NVARCHAR(MAX) NOT NULL" +
               key;
    return {};
}

Connection::Connection() = default;

Connection::~Connection() {
    close();
}

std::optional<Failure> Connection::open(const std::string& connection, int loginSeconds,
                                        int querySeconds) {
    close();
    querySeconds_ = querySeconds;
    SQLHENV env = nullptr;
    if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return Failure{"HY001", "the ODBC driver manager gave no environment"};
    env_ = env;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLHDBC dbc = nullptr;
    if (!ok(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        Failure f = diagnose(SQL_HANDLE_ENV, env);
        close();
        return f;
    }
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginSeconds)), 0);
    SQLCHAR done[2048] = {};
    SQLSMALLINT doneLength = 0;
    const SQLRETURN r = SQLDriverConnect(
        dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection.c_str())),
        static_cast<SQLSMALLINT>(connection.size()), done, static_cast<SQLSMALLINT>(sizeof done),
        &doneLength, SQL_DRIVER_NOPROMPT);
    if (!ok(r)) {
        Failure f = diagnose(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        close();
        return f;
    }
    dbc_ = dbc;
    return std::nullopt;
}

void Connection::close() {
    if (dbc_ != nullptr) {
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        dbc_ = nullptr;
    }
    if (env_ != nullptr) {
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
        env_ = nullptr;
    }
}

std::string Connection::dbmsName() {
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    if (!ok(SQLGetInfo(dbc_, SQL_DBMS_NAME, name, static_cast<SQLSMALLINT>(sizeof name), &length)))
        return {};
    return reinterpret_cast<const char*>(name);
}

std::optional<Failure> Connection::ensureTable(const std::string& table) {
    const std::string sql = createTableSql(dbmsName(), table);
    if (sql.empty())
        return std::nullopt; // a system whose SQL we do not know: the table must exist
    Statement stmt(dbc_, querySeconds_);
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      0);
    if (!ok(SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                          SQL_NTS)))
        return stmt.failure();
    return std::nullopt;
}

std::optional<Failure> Connection::lastRow(const std::string& table, const std::string& source,
                                           std::optional<Row>& last) {
    last.reset();
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      0);
    SQLBIGINT offset = 0;
    {
        Statement stmt(dbc_, querySeconds_);
        const std::string sql = "SELECT MAX(byte_offset) FROM " + table + " WHERE source = ?";
        SQLLEN sourceLength = 0;
        SQLLEN got = 0;
        if (!ok(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                           SQL_NTS)) ||
            !ok(bindText(stmt.get(), 1, source, sourceLength)) || !ok(SQLExecute(stmt.get())))
            return stmt.failure();
        const SQLRETURN fetched = SQLFetch(stmt.get());
        if (fetched == SQL_NO_DATA)
            return std::nullopt;
        if (!ok(fetched) ||
            !ok(SQLGetData(stmt.get(), 1, SQL_C_SBIGINT, &offset, sizeof offset, &got)))
            return stmt.failure();
        if (got == SQL_NULL_DATA)
            return std::nullopt;
    }
    Statement stmt(dbc_, querySeconds_);
    const std::string sql = "SELECT text FROM " + table + " WHERE source = ? AND byte_offset = ?";
    SQLLEN sourceLength = 0;
    SQLLEN offsetLength = 0;
    if (!ok(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                       SQL_NTS)) ||
        !ok(bindText(stmt.get(), 1, source, sourceLength)) ||
        !ok(SQLBindParameter(stmt.get(), 2, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                             &offset, 0, &offsetLength)) ||
        !ok(SQLExecute(stmt.get())) || !ok(SQLFetch(stmt.get())))
        return stmt.failure();
    Row row{static_cast<std::uint64_t>(offset), {}};
    char buffer[4096];
    for (;;) {
        SQLLEN got = 0;
        const SQLRETURN r = SQLGetData(stmt.get(), 1, SQL_C_CHAR, buffer, sizeof buffer, &got);
        if (r == SQL_NO_DATA)
            break;
        if (!ok(r))
            return stmt.failure();
        if (got == SQL_NULL_DATA)
            break;
        const std::size_t piece = (got == SQL_NO_TOTAL || got >= static_cast<SQLLEN>(sizeof buffer))
                                      ? sizeof buffer - 1
                                      : static_cast<std::size_t>(got);
        row.text.append(buffer, piece);
        if (r == SQL_SUCCESS)
            break;
    }
    last = std::move(row);
    return std::nullopt;
}

std::optional<Failure> Connection::sourcesOf(const std::string& table, const std::string& base,
                                             std::vector<std::string>& sources) {
    sources.clear();
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      0);
    Statement stmt(dbc_, querySeconds_);
    const std::string sql =
        "SELECT DISTINCT source FROM " + table + " WHERE source = ? OR source LIKE ?";
    const std::string pattern = base + " #%";
    SQLLEN baseLength = 0;
    SQLLEN patternLength = 0;
    if (!ok(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                       SQL_NTS)) ||
        !ok(bindText(stmt.get(), 1, base, baseLength)) ||
        !ok(bindText(stmt.get(), 2, pattern, patternLength)) || !ok(SQLExecute(stmt.get())))
        return stmt.failure();
    for (;;) {
        const SQLRETURN r = SQLFetch(stmt.get());
        if (r == SQL_NO_DATA)
            break;
        if (!ok(r))
            return stmt.failure();
        char name[2048] = {};
        SQLLEN got = 0;
        if (!ok(SQLGetData(stmt.get(), 1, SQL_C_CHAR, name, sizeof name, &got)))
            return stmt.failure();
        // LIKE takes _ and % in the base for wildcards: keep the exact ones.
        const std::string found = name;
        if (found == base || found.rfind(base + " #", 0) == 0)
            sources.push_back(found);
    }
    return std::nullopt;
}

std::optional<Failure> Connection::insertEach(const std::string& table, const std::string& source,
                                              const std::string& port,
                                              const std::vector<RowToInsert>& rows,
                                              std::size_t perStatement, bool ignoreDuplicates) {
    // Several rows a statement: one round trip for them all.
    std::vector<SQLBIGINT> offsets(perStatement);
    std::vector<SQL_TIMESTAMP_STRUCT> times(perStatement);
    std::vector<SQLLEN> lengths(perStatement * 5);
    for (std::size_t first = 0; first < rows.size(); first += perStatement) {
        const std::size_t n = std::min(perStatement, rows.size() - first);
        std::string sql =
            "INSERT INTO " + table + " (source, byte_offset, received_at, port, text) VALUES ";
        for (std::size_t i = 0; i < n; ++i)
            sql += i == 0 ? "(?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?)";
        Statement stmt(dbc_, querySeconds_);
        if (!ok(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)))
            return stmt.failure();
        for (std::size_t i = 0; i < n; ++i) {
            const RowToInsert& r = rows[first + i];
            const auto p = static_cast<SQLUSMALLINT>(i * 5);
            offsets[i] = static_cast<SQLBIGINT>(r.row->offset);
            times[i] = utc(r.receivedAt);
            SQLLEN* length = &lengths[i * 5];
            length[1] = 0;
            length[2] = sizeof times[i];
            if (!ok(bindText(stmt.get(), p + 1, source, length[0])) ||
                !ok(SQLBindParameter(stmt.get(), p + 2, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT,
                                     0, 0, &offsets[i], 0, &length[1])) ||
                !ok(SQLBindParameter(stmt.get(), p + 3, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                                     SQL_TYPE_TIMESTAMP, 23, 3, &times[i], sizeof times[i],
                                     &length[2])) ||
                !ok(bindText(stmt.get(), p + 4, port, length[3])) ||
                !ok(bindText(stmt.get(), p + 5, r.row->text, length[4])))
                return stmt.failure();
        }
        if (!ok(SQLExecute(stmt.get()))) {
            Failure f = stmt.failure();
            if (!(ignoreDuplicates && f.duplicateKey()))
                return f;
        }
    }
    return std::nullopt;
}

std::optional<Failure> Connection::insert(const std::string& table, const std::string& source,
                                          const std::string& port,
                                          const std::vector<RowToInsert>& rows) {
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                      0);
    std::optional<Failure> failed = insertEach(table, source, port, rows, RowsPerStatement, false);
    if (!failed && !ok(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT)))
        failed = diagnose(SQL_HANDLE_DBC, dbc_);
    if (!failed)
        return std::nullopt;
    SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
    if (!failed->duplicateKey())
        return failed;
    // Some of them are there already (another writer, or a commit whose
    // answer was lost): each on its own, those counting as done.
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      0);
    return insertEach(table, source, port, rows, 1, true);
}

} // namespace kelmor::database::odbc
