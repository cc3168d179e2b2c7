#pragma once

#include <ctime>
#include <string>

// What the writer needs of the system besides ODBC: one implementation for
// POSIX, one for Windows.
namespace kelmor::database::platform {

// The line comes first: the calling thread gives way to the window's.
void yieldToTheLine();
// This computer's name, for the default source; "localhost" if it has none.
std::string hostName();
// The calendar time in UTC.
std::tm utcCalendar(std::time_t seconds);

} // namespace kelmor::database::platform
