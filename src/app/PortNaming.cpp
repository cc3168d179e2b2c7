#include "app/PortNaming.h"

namespace kelmor::app {

std::string describePort(int port) {
    const PortDevice device = deviceForPort(port);
    if (device.link.empty())
        return device.path;
    if (device.dangling)
        return device.link + " (points nowhere)";
    return device.path + " (via " + device.link + ")";
}

} // namespace kelmor::app
