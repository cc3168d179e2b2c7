#pragma once

#include "app/CommandLine.h"

#include <string>
#include <vector>

// A Windows service that captures from one port: its names, and the command
// line the service manager starts it with. No Windows calls: the Win32 face
// does the installing.
namespace kelmor::app {

// "kelmor-csv-comm3": one service per port, so the port names it.
std::string serviceName(int port);
// "KELMOR CSV File Creator: capture from Comm 3"
std::string serviceDisplayName(int port);
std::string serviceDescription(int port, const std::string& save);

// The arguments the service is started with: the service switch and the
// port. Nothing else goes on its command line, where the service manager
// would expand %NAME% in a file name or a password.
std::vector<std::string> serviceArguments(int port);
// The capture options of the install's command line, which the service keeps
// in its own settings and reads back exactly: the port, the name, and the
// database options. save is the name made absolute: a service starts in the
// system folder.
std::vector<std::string> serviceParameters(const Options& options, const std::string& save);
// The options a service runs with: its command line's, or where that holds
// only the switch and the port, the ones kept in its settings.
[[nodiscard]] ParsedOptions serviceOptions(const Options& commandLine,
                                           const std::vector<std::string>& parameters);

// One argument as the Windows command-line parser reads it back: quoted when
// it is empty or holds a space, a tab or a quote; backslashes doubled only
// before a quote.
std::string quoteArgument(const std::string& arg);
// The program and its arguments as one command line; the program is always
// quoted, so a path with spaces can never start another program.
std::string commandLine(const std::string& program, const std::vector<std::string>& args);

} // namespace kelmor::app
