#pragma once

#include <optional>
#include <string>
#include <vector>

// A capture service's own settings, in its Parameters key: the options it
// runs with, read back exactly as written (the service manager expands %NAME%
// in a command line, never in these), and what it said when it started.
namespace kelmor::win32 {

// Writes the options; only SYSTEM, administrators and the service's own
// account (if it has one) may read them, for they may hold a password.
// Empty, or why not.
std::optional<std::string> writeServiceOptions(const std::string& service,
                                               const std::vector<std::string>& args,
                                               const std::optional<std::string>& account);
std::optional<std::vector<std::string>> readServiceOptions(const std::string& service);

// What the service says once it has tried its port: StatusCapturing, or the error.
inline constexpr const char* StatusCapturing = "capturing";
void writeServiceStatus(const std::string& service, const std::string& status);
std::optional<std::string> readServiceStatus(const std::string& service);

} // namespace kelmor::win32
