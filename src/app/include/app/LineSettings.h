#pragma once

namespace kelmor::app {

// The line's parameters. They never change: "19200,N,8,1", that is, no
// parity and one stop bit besides these, and no handshaking.
struct LineSettings {
    int baud = 19200;
    int dataBits = 8;

    bool operator==(const LineSettings&) const = default;
};

inline constexpr LineSettings Line19200N81{};

} // namespace kelmor::app
