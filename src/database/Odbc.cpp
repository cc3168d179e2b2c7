#include "Odbc.h"

#include "OdbcCall.h"

#include <odbcinst.h>

#include <cctype>
#include <sstream>

namespace kelmor::database::odbc {

namespace {
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
        if (!ok(SQLDisconnect(dbc_))) {
            // A transaction a lost connection left open holds the disconnect
            // back, and the handle could not be freed.
            (void)SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
            (void)SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                                    reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
            (void)SQLDisconnect(dbc_);
        }
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

} // namespace kelmor::database::odbc
