#include "app/PortNaming.h"

#include <cstdlib>
#include <filesystem>

// Ports on POSIX systems: links in a folder of the user's, else /dev/ttyS.
namespace kelmor::app {

namespace fs = std::filesystem;

std::string portLinkFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/')
        return std::string(xdg) + "/kelmor-csv";
    const char* home = std::getenv("HOME");
    const std::string base = home != nullptr ? home : "";
#ifdef __APPLE__
    return base + "/Library/Preferences/kelmor-csv";
#else
    return base + "/.config/kelmor-csv";
#endif
}

PortDevice deviceForPort(int port) {
    PortDevice device;
    device.port = port;
    const std::string link = portLinkFolder() + "/com" + std::to_string(port);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(link, ec))) {
        device.link = link;
        const fs::path target = fs::canonical(link, ec);
        device.dangling = static_cast<bool>(ec);
        // The resolved name keeps the port's lock file the same however it
        // is reached.
        device.path = device.dangling ? link : target.string();
    } else {
        device.path = "/dev/ttyS" + std::to_string(port - 1);
    }
    return device;
}

} // namespace kelmor::app
