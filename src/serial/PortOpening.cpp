#include "serial/PortOpening.h"

#include "serial/MSComm.h"

namespace kelmor {

MaybeError reopenPort(MSComm& comm, int port) {
    if (comm.PortOpen())
        comm.setPortOpen(false);
    comm.setCommPort(port);
    if (auto err = comm.setSettings(LineSettingsText))
        return err;
    comm.setInputLen(0);
    return comm.setPortOpen(true);
}

} // namespace kelmor
