#pragma once

#include "capture/Error.h"

#include <string>

namespace kelmor {

struct PortNumber {
    int port = 0;
    MaybeError error; // "Type mismatch" when the text names no port
};

// The port number is read from the last two characters of the port list's
// text ("Comm 3" gives 3, "Comm 12" gives 12); spaces around it are allowed.
PortNumber portFromText(const std::string& text);

} // namespace kelmor
