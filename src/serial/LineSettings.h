#pragma once

#include "capture/Error.h"

#include <string>

namespace kelmor {

// Line parameters written as "baud,parity,data bits,stop bits", e.g. "19200,N,8,1".
struct LineSettings {
    int baud = 9600;
    char parity = 'N'; // N, E, O, M or S
    int dataBits = 8;  // 5 to 8
    int stopBits = 1;  // 1 or 2; the value 15 stands for 1.5

    bool operator==(const LineSettings&) const = default;
};

struct ParsedSettings {
    LineSettings settings;
    MaybeError error;
};

ParsedSettings parseSettings(const std::string& text);
std::string formatSettings(const LineSettings& settings);

} // namespace kelmor
