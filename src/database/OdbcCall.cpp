#include "OdbcCall.h"

#include "platform/System.h"

#include <ctime>

namespace kelmor::database::odbc {

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

SQLRETURN bindWide(SQLHSTMT stmt, SQLUSMALLINT n, const WideText& text, SQLLEN& length) {
    length = static_cast<SQLLEN>(text.size() * sizeof(SQLWCHAR));
    return SQLBindParameter(
        stmt, n, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WLONGVARCHAR, text.empty() ? 1 : text.size(), 0,
        const_cast<SQLWCHAR*>(reinterpret_cast<const SQLWCHAR*>(text.data())), length, &length);
}

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
    const std::tm t = platform::utcCalendar(static_cast<std::time_t>(ms.count() / 1000));
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

} // namespace kelmor::database::odbc
