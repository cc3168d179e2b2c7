#pragma once

#ifdef _WIN32

#include <string>
#include <string_view>

// Paths and texts are UTF-8 everywhere above the system calls; Windows
// speaks UTF-16.
namespace kelmor::capture::windows {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);
// The system's text for an error code, without the trailing full stop.
std::string describe(unsigned long code);

} // namespace kelmor::capture::windows

#endif
