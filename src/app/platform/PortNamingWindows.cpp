#include "app/PortNaming.h"

#include <string>

// Ports on Windows: Comm N is COMN.
namespace kelmor::app {

PortDevice deviceForPort(int port) {
    PortDevice device;
    device.port = port;
    device.path = "\\\\.\\COM" + std::to_string(port);
    return device;
}

} // namespace kelmor::app
