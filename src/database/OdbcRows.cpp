#include "Odbc.h"

#include "OdbcCall.h"

#include <algorithm>
#include <memory>

// The writer's statements: the last row of a source, the text under a key,
// the sources of a name, and the INSERT.
namespace kelmor::database::odbc {

namespace {

// Rows in one INSERT at the most: within every system's limits (SQL Server:
// 1000 rows, 2100 parameters).
constexpr std::size_t MaxRowsPerStatement = 100;

} // namespace

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

} // namespace kelmor::database::odbc
