#include "Odbc.h"

#include "ConnectionString.h"
#include "OdbcText.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>
#include <sstream>

namespace kelmor::database::odbc {

namespace {

constexpr int LoginSeconds = 5;
constexpr int QuerySeconds = 10;

bool ok(SQLRETURN r) {
    return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

SQLCHAR* sqlText(const std::string& sql) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str()));
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
    f.message = line.empty() ? "the driver gave no reason" : line;
    return f;
}

// Rows in one INSERT at the most: within every system's limits (SQL Server:
// 1000 rows, 2100 parameters).
constexpr std::size_t MaxRowsPerStatement = 100;

SQLRETURN bindWide(SQLHSTMT stmt, SQLUSMALLINT n, const WideText& text, SQLLEN& length) {
    length = static_cast<SQLLEN>(text.size() * sizeof(SQLWCHAR));
    return SQLBindParameter(
        stmt, n, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WLONGVARCHAR, text.empty() ? 1 : text.size(), 0,
        const_cast<SQLWCHAR*>(reinterpret_cast<const SQLWCHAR*>(text.data())), length, &length);
}

// A text column, read in pieces of any length.
bool readWide(SQLHSTMT stmt, SQLUSMALLINT column, WideText& out, bool& isNull) {
    out.clear();
    isNull = false;
    SQLWCHAR buffer[2048];
    constexpr SQLLEN capacity = sizeof buffer / sizeof buffer[0];
    for (;;) {
        SQLLEN got = 0;
        const SQLRETURN r = SQLGetData(stmt, column, SQL_C_WCHAR, buffer, sizeof buffer, &got);
        if (r == SQL_NO_DATA)
            return true;
        if (!ok(r))
            return false;
        if (got == SQL_NULL_DATA) {
            isNull = true;
            return true;
        }
        // A piece that did not fit ends in the terminating NUL, which is not text.
        const std::size_t chars =
            r == SQL_SUCCESS_WITH_INFO && (got == SQL_NO_TOTAL || got / 2 >= capacity)
                ? capacity - 1
                : static_cast<std::size_t>(got) / sizeof(SQLWCHAR);
        out.append(reinterpret_cast<const char16_t*>(buffer), chars);
        if (r == SQL_SUCCESS)
            return true;
    }
}

SQL_TIMESTAMP_STRUCT utc(std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const auto seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm t{};
#ifdef _WIN32
    gmtime_s(&t, &seconds);
#else
    gmtime_r(&seconds, &t);
#endif
    SQL_TIMESTAMP_STRUCT ts{};
    ts.year = static_cast<SQLSMALLINT>(t.tm_year + 1900);
    ts.month = static_cast<SQLUSMALLINT>(t.tm_mon + 1); // tm_mon counts from 0
    ts.day = static_cast<SQLUSMALLINT>(t.tm_mday);
    ts.hour = static_cast<SQLUSMALLINT>(t.tm_hour);
    ts.minute = static_cast<SQLUSMALLINT>(t.tm_min);
    ts.second = static_cast<SQLUSMALLINT>(t.tm_sec);
    ts.fraction = static_cast<SQLUINTEGER>(ms.count() % 1000) * 1000000u;
    return ts;
}

std::string upper(std::string text) {
    for (char& ch : text)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

bool listed(const std::string& commaList, const std::string& word) {
    std::istringstream in(commaList);
    for (std::string item; std::getline(in, item, ',');)
        if (upper(item) == word)
            return true;
    return false;
}

} // namespace

// A statement handle for the life of a scope, which cancel() can reach.
class Connection::Statement {
public:
    explicit Statement(Connection& c) : c_(c) {
        SQLHSTMT stmt = nullptr;
        if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, c.dbc_, &stmt)))
            return;
        SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(c.querySeconds_)), 0);
        const std::lock_guard guard(c.running_);
        stmt_ = stmt;
        c.statement_ = stmt;
    }
    ~Statement() {
        if (stmt_ == nullptr)
            return;
        {
            const std::lock_guard guard(c_.running_);
            c_.statement_ = nullptr;
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    SQLHSTMT get() const { return stmt_; }
    Failure failure() const {
        return c_.classify(stmt_ != nullptr ? diagnose(SQL_HANDLE_STMT, stmt_)
                                            : diagnose(SQL_HANDLE_DBC, c_.dbc_));
    }

private:
    Connection& c_;
    SQLHSTMT stmt_ = nullptr;
};

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

Connection::Connection() = default;

Connection::~Connection() {
    close();
}

std::optional<Failure> Connection::open(const std::string& connection, int loginSeconds,
                                        int querySeconds, std::string* completed) {
    close();
    querySeconds_ = querySeconds;
    SQLHENV env = nullptr;
    if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return Failure{Failure::Kind::Unreachable, "HY001",
                       "the ODBC driver manager gave no environment"};
    env_ = env;
    if (!ok(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                          0))) {
        Failure f = diagnose(SQL_HANDLE_ENV, env);
        close();
        f.kind = Failure::Kind::Unreachable;
        return f;
    }
    SQLHDBC dbc = nullptr;
    if (!ok(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        Failure f = diagnose(SQL_HANDLE_ENV, env);
        close();
        f.kind = Failure::Kind::Unreachable;
        return f;
    }
    // Not every driver takes a login timeout; the connection goes on without.
    (void)SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginSeconds)), 0);
    SQLCHAR done[4096] = {};
    SQLSMALLINT doneLength = 0;
    const SQLRETURN r = SQLDriverConnect(
        dbc, nullptr, sqlText(connection), static_cast<SQLSMALLINT>(connection.size()), done,
        static_cast<SQLSMALLINT>(sizeof done), &doneLength, SQL_DRIVER_NOPROMPT);
    if (!ok(r)) {
        Failure f = diagnose(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        close();
        f.kind = Failure::Kind::Unreachable;
        return f;
    }
    dbc_ = dbc;
    if (completed != nullptr)
        *completed = reinterpret_cast<const char*>(done);
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

void Connection::cancel() {
    const std::lock_guard guard(running_);
    if (statement_ != nullptr)
        SQLCancel(statement_);
}

Failure Connection::classify(Failure f) {
    const auto is = [&](const char* state) { return f.state == state; };
    if (f.state.rfind("08", 0) == 0 || is("HYT01"))
        f.kind = Failure::Kind::Unreachable;
    else if (is("HYT00") || is("HY008") || is("57014"))
        f.kind = Failure::Kind::TimedOut;
    else if (f.state.rfind("23", 0) == 0)
        f.kind = Failure::Kind::KeyTaken;
    else
        f.kind = Failure::Kind::Refused;
    if (f.kind != Failure::Kind::Unreachable && dbc_ != nullptr) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        if (ok(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
            dead == SQL_CD_TRUE)
            f.kind = Failure::Kind::Unreachable;
    }
    return f;
}

std::string Connection::dbmsName() {
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    if (!ok(SQLGetInfo(dbc_, SQL_DBMS_NAME, name, static_cast<SQLSMALLINT>(sizeof name), &length)))
        return {};
    return reinterpret_cast<const char*>(name);
}

std::string Connection::driverName() {
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    if (!ok(SQLGetInfo(dbc_, SQL_DRIVER_NAME, name, static_cast<SQLSMALLINT>(sizeof name),
                       &length)))
        return {};
    std::string text = reinterpret_cast<const char*>(name);
    for (char& ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

std::string dsnSetting(const std::string& dsn, const std::string& key) {
    char value[2048] = {};
    const int length = SQLGetPrivateProfileString(dsn.c_str(), key.c_str(), "", value,
                                                  static_cast<int>(sizeof value), "odbc.ini");
    return length > 0 ? std::string(value, static_cast<std::size_t>(length)) : std::string();
}

std::string Connection::identifier(const std::string& name) {
    // Only a keyword is quoted: a quoted name keeps its case on some systems,
    // and tables made before under an unquoted name must still be found.
    const std::string word = upper(name);
    SQLCHAR keywords[8192] = {};
    SQLSMALLINT length = 0;
    const bool keyword = listed(SQL_ODBC_KEYWORDS, word) ||
                         (ok(SQLGetInfo(dbc_, SQL_KEYWORDS, keywords,
                                        static_cast<SQLSMALLINT>(sizeof keywords), &length)) &&
                          listed(reinterpret_cast<const char*>(keywords), word));
    if (!keyword)
        return name;
    SQLCHAR quote[8] = {};
    if (!ok(SQLGetInfo(dbc_, SQL_IDENTIFIER_QUOTE_CHAR, quote,
                       static_cast<SQLSMALLINT>(sizeof quote), &length)) ||
        quote[0] == ' ' || quote[0] == '\0')
        return name;
    const std::string q = reinterpret_cast<const char*>(quote);
    return q + name + q;
}

std::optional<Failure> Connection::autocommit(bool on) {
    if (ok(SQLSetConnectAttr(
            dbc_, SQL_ATTR_AUTOCOMMIT,
            reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0)))
        return std::nullopt;
    return classify(diagnose(SQL_HANDLE_DBC, dbc_));
}

bool Connection::tableAnswers(const std::string& table) {
    // A query that returns no rows: it needs no more right than SELECT.
    return !execute("SELECT source FROM " + table + " WHERE 1 = 0");
}

std::optional<Failure> Connection::execute(const std::string& sql) {
    if (auto failed = autocommit(true))
        return failed;
    Statement stmt(*this);
    if (stmt.get() == nullptr || !ok(SQLExecDirect(stmt.get(), sqlText(sql), SQL_NTS)))
        return stmt.failure();
    return std::nullopt;
}

std::optional<Failure> Connection::lastRow(const std::string& table, const std::string& source,
                                           std::optional<Row>& last) {
    last.reset();
    if (auto failed = autocommit(true))
        return failed;
    const WideText wideSource = fromUtf8(source);
    SQLBIGINT offset = 0;
    {
        Statement stmt(*this);
        const std::string sql = "SELECT MAX(byte_offset) FROM " + table + " WHERE source = ?";
        SQLLEN sourceLength = 0;
        SQLLEN got = 0;
        if (stmt.get() == nullptr || !ok(SQLPrepare(stmt.get(), sqlText(sql), SQL_NTS)) ||
            !ok(bindWide(stmt.get(), 1, wideSource, sourceLength)) || !ok(SQLExecute(stmt.get())))
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
    std::optional<std::string> text;
    if (auto failed = textAt(table, source, static_cast<std::uint64_t>(offset), text))
        return failed;
    if (text)
        last = Row{static_cast<std::uint64_t>(offset), std::move(*text)};
    return std::nullopt;
}

std::optional<Failure> Connection::textAt(const std::string& table, const std::string& source,
                                          std::uint64_t offset, std::optional<std::string>& text) {
    text.reset();
    if (auto failed = autocommit(true))
        return failed;
    Statement stmt(*this);
    const std::string sql = "SELECT text FROM " + table + " WHERE source = ? AND byte_offset = ?";
    const WideText wideSource = fromUtf8(source);
    auto key = static_cast<SQLBIGINT>(offset);
    SQLLEN sourceLength = 0;
    SQLLEN offsetLength = 0;
    if (stmt.get() == nullptr || !ok(SQLPrepare(stmt.get(), sqlText(sql), SQL_NTS)) ||
        !ok(bindWide(stmt.get(), 1, wideSource, sourceLength)) ||
        !ok(SQLBindParameter(stmt.get(), 2, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &key,
                             0, &offsetLength)) ||
        !ok(SQLExecute(stmt.get())))
        return stmt.failure();
    const SQLRETURN fetched = SQLFetch(stmt.get());
    if (fetched == SQL_NO_DATA)
        return std::nullopt;
    WideText wide;
    bool isNull = false;
    if (!ok(fetched) || !readWide(stmt.get(), 1, wide, isNull))
        return stmt.failure();
    text = isNull ? std::string() : toBytes(wide);
    return std::nullopt;
}

std::optional<Failure> Connection::sourcesOf(const std::string& table, const std::string& base,
                                             std::vector<std::string>& sources) {
    sources.clear();
    if (auto failed = autocommit(true))
        return failed;
    Statement stmt(*this);
    // An escape of our own: a backslash is PostgreSQL's default and is in
    // every Windows path.
    const std::string sql =
        "SELECT DISTINCT source FROM " + table + " WHERE source = ? OR source LIKE ? ESCAPE '!'";
    std::string pattern;
    for (const char ch : base) {
        if (ch == '!' || ch == '%' || ch == '_')
            pattern += '!';
        pattern += ch;
    }
    pattern += " #%";
    const WideText wideBase = fromUtf8(base);
    const WideText widePattern = fromUtf8(pattern);
    SQLLEN baseLength = 0;
    SQLLEN patternLength = 0;
    if (stmt.get() == nullptr || !ok(SQLPrepare(stmt.get(), sqlText(sql), SQL_NTS)) ||
        !ok(bindWide(stmt.get(), 1, wideBase, baseLength)) ||
        !ok(bindWide(stmt.get(), 2, widePattern, patternLength)) || !ok(SQLExecute(stmt.get())))
        return stmt.failure();
    for (;;) {
        const SQLRETURN r = SQLFetch(stmt.get());
        if (r == SQL_NO_DATA)
            break;
        WideText name;
        bool isNull = false;
        if (!ok(r) || !readWide(stmt.get(), 1, name, isNull))
            return stmt.failure();
        // LIKE may ignore case: keep the exact ones.
        const std::string found = toUtf8(name);
        if (found == base || found.rfind(base + " #", 0) == 0)
            sources.push_back(found);
    }
    return std::nullopt;
}

std::optional<Failure> Connection::insertAll(const std::string& table, const std::string& source,
                                             const std::string& port,
                                             const std::vector<RowToInsert>& rows,
                                             std::size_t perStatement) {
    perStatement = std::clamp<std::size_t>(perStatement, 1, MaxRowsPerStatement);
    const WideText wideSource = fromUtf8(source);
    const WideText widePort = fromUtf8(port);
    std::vector<SQLBIGINT> offsets(perStatement);
    std::vector<SQL_TIMESTAMP_STRUCT> times(perStatement);
    std::vector<WideText> texts(perStatement);
    std::vector<SQLLEN> lengths(perStatement * 5);
    // One statement prepared for every full chunk: the server parses and
    // plans it once a transaction, not once a chunk.
    std::unique_ptr<Statement> stmt;
    std::size_t prepared = 0;
    for (std::size_t first = 0; first < rows.size(); first += perStatement) {
        const std::size_t n = std::min(perStatement, rows.size() - first);
        if (n != prepared) {
            std::string sql =
                "INSERT INTO " + table + " (source, byte_offset, received_at, port, text) VALUES ";
            for (std::size_t i = 0; i < n; ++i)
                sql += i == 0 ? "(?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?)";
            stmt.reset();
            stmt = std::make_unique<Statement>(*this);
            if (stmt->get() == nullptr || !ok(SQLPrepare(stmt->get(), sqlText(sql), SQL_NTS)))
                return stmt->failure();
            prepared = n;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const RowToInsert& r = rows[first + i];
            const auto p = static_cast<SQLUSMALLINT>(i * 5);
            offsets[i] = static_cast<SQLBIGINT>(r.row->offset);
            times[i] = utc(r.receivedAt);
            texts[i] = fromBytes(r.row->text);
            SQLLEN* length = &lengths[i * 5];
            length[1] = 0;
            length[2] = sizeof times[i];
            if (!ok(bindWide(stmt->get(), p + 1, wideSource, length[0])) ||
                !ok(SQLBindParameter(stmt->get(), p + 2, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT,
                                     0, 0, &offsets[i], 0, &length[1])) ||
                !ok(SQLBindParameter(stmt->get(), p + 3, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                                     SQL_TYPE_TIMESTAMP, 23, 3, &times[i], sizeof times[i],
                                     &length[2])) ||
                !ok(bindWide(stmt->get(), p + 4, widePort, length[3])) ||
                !ok(bindWide(stmt->get(), p + 5, texts[i], length[4])))
                return stmt->failure();
        }
        if (!ok(SQLExecute(stmt->get())))
            return stmt->failure();
    }
    return std::nullopt;
}

std::optional<Failure> Connection::insert(const std::string& table, const std::string& source,
                                          const std::string& port,
                                          const std::vector<RowToInsert>& rows,
                                          std::size_t perStatement) {
    if (auto failed = autocommit(false))
        return failed;
    std::optional<Failure> failed = insertAll(table, source, port, rows, perStatement);
    if (!failed && !ok(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT)))
        failed = classify(diagnose(SQL_HANDLE_DBC, dbc_));
    if (failed)
        (void)SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK); // a lost connection cannot answer
    return failed;
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
