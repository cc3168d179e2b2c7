#pragma once

#include "capture/Error.h"

namespace kelmor {

class MSComm;

inline constexpr const char* LineSettingsText = "19200,N,8,1";

// Closes the port if it is open, sets the port number, the line settings
// and whole-queue reads, and opens it.
MaybeError reopenPort(MSComm& comm, int port);

} // namespace kelmor
