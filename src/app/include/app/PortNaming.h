#pragma once

#include <string>

namespace kelmor::app {

// Where "Comm N" leads on this machine.
struct PortDevice {
    int port = 0;          // N
    std::string path;      // what is opened
    std::string link;      // the link that chose it, empty when none did
    bool dangling = false; // the link exists but points nowhere
};

// POSIX: the folder whose links comN bind port numbers to devices:
// $XDG_CONFIG_HOME/kelmor-csv, else ~/.config/kelmor-csv (on macOS
// ~/Library/Preferences/kelmor-csv).
std::string portLinkFolder();

// On Unix a link comN in the link folder wins, even when it points nowhere
// (the open then fails; it never falls back to another device); otherwise
// Comm N is /dev/ttyS(N-1). On Windows Comm N is \\.\COMN.
PortDevice deviceForPort(int port);

// A short text for the port list's tooltips.
std::string describePort(int port);

} // namespace kelmor::app
