#pragma once

#include <string>

namespace kelmor::app {

// The line's parameters. They never change: "19200,N,8,1", no handshaking.
struct LineSettings {
    int baud = 19200;
    char parity = 'N';
    int dataBits = 8;
    int stopBits = 1;

    bool operator==(const LineSettings&) const = default;

    // As the serial control writes them, e.g. "19200,N,8,1".
    std::string text() const {
        return std::to_string(baud) + ',' + parity + ',' + std::to_string(dataBits) + ',' +
               std::to_string(stopBits);
    }
};

inline constexpr LineSettings Line19200N81{};

} // namespace kelmor::app
