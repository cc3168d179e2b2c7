#pragma once

#include "Odbc.h"
#include "OdbcText.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <mutex>
#include <string>

// What the ODBC code shares: return codes, diagnostics, text parameters and
// columns, and a statement handle that cancel() can reach.
namespace kelmor::database::odbc {

bool ok(SQLRETURN r);
SQLCHAR* sqlText(const std::string& sql);
Failure diagnose(SQLSMALLINT type, SQLHANDLE handle);
SQLRETURN bindWide(SQLHSTMT stmt, SQLUSMALLINT n, const WideText& text, SQLLEN& length);
// A text column, read in pieces of any length.
bool readWide(SQLHSTMT stmt, SQLUSMALLINT column, WideText& out, bool& isNull);
SQL_TIMESTAMP_STRUCT utc(std::chrono::system_clock::time_point when);

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

} // namespace kelmor::database::odbc
