#include "app/PortNaming.h"

#include <cstdlib>

// Ports on Windows: Comm N is COMN.
namespace kelmor::app {

std::string portLinkFolder() {
    const char* appData = std::getenv("APPDATA");
    return std::string(appData != nullptr ? appData : "") + "\\kelmor-csv";
}

PortDevice deviceForPort(int port) {
    PortDevice device;
    device.port = port;
    device.path = "\\\\.\\COM" + std::to_string(port);
    return device;
}

} // namespace kelmor::app
