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

// The arguments the service is started with: the service switch, the port,
// the name and the database options of the install's command line. save is
// the name made absolute: a service starts in the system folder.
std::vector<std::string> serviceArguments(const Options& options, const std::string& save);

// One argument as the Windows command-line parser reads it back: quoted when
// it is empty or holds a space, a tab or a quote; backslashes doubled only
// before a quote.
std::string quoteArgument(const std::string& arg);
// The program and its arguments as one command line; the program is always
// quoted, so a path with spaces can never start another program.
std::string commandLine(const std::string& program, const std::vector<std::string>& args);

// Where errors go when no log of the system takes them: beside the capture
// files, NAME.log.
std::string errorLogName(const std::string& fileName);

} // namespace kelmor::app
