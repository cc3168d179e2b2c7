#pragma once

#include <QString>

namespace kelmor {

// Where "Comm N" leads on this machine.
struct PortDevice {
    QString path;          // what is opened
    QString link;          // the link that chose it, empty when none did
    bool dangling = false; // the link exists but points nowhere
};

// The folder whose links comN bind port numbers to devices, e.g.
// ~/.config/kelmor-csv on Linux.
QString portLinkFolder();

// A link comN in the link folder wins, even when it points nowhere (the open
// then fails; it never falls back to another device). Otherwise Comm N is
// /dev/ttyS(N-1) on Unix and COMN on Windows.
PortDevice deviceForPort(int port);

// A short text for the port list's tooltips.
QString describePort(int port);

} // namespace kelmor
