#pragma once

#include <string>

// What the writer reads from and adds to an ODBC connection string.
namespace kelmor::database {

// The value of a key=value; pair (the key in any case), braces taken off.
std::string valueOf(const std::string& connection, const std::string& key);
// The data source a DSN=name string names, empty if none.
std::string dsnOf(const std::string& connection);

// The connection string with TCP keepalives added to psqlODBC's libpq
// options: merged into the pqopt the string has, or else the DSN's
// (`dsnPqopt`), and never replacing an option the user set.
std::string withKeepalives(const std::string& connection, const std::string& dsnPqopt);

} // namespace kelmor::database
