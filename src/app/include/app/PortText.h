#pragma once

#include "app/CaptureNames.h"

#include <optional>
#include <string>

namespace kelmor::app {

// The ports the port list offers, Comm 1 to Comm PortCount.
inline constexpr int PortCount = 15;

struct PortNumber {
    int port = 0;
    MaybeError error; // "Type mismatch" when the text names no number
};

// "Comm 3": how the port list, the messages and the database name a port.
std::string portText(int port);

// The port number is read from the last two characters of the port list's
// text ("Comm 3" gives 3, "Comm 12" gives 12, "+5" gives 5); spaces around it
// and a sign are allowed, as in the conversion the window has always used.
[[nodiscard]] PortNumber portFromText(const std::string& text);

// A port number as the command line gives it: a whole decimal number from 1
// to PortCount, nothing else.
[[nodiscard]] std::optional<int> portFromNumber(const std::string& text);

} // namespace kelmor::app
