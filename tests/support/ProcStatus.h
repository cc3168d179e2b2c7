#pragma once

#include <fstream>
#include <string>

namespace kelmor::test {

// The peak resident memory of this process so far, from /proc.
inline long peakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

} // namespace kelmor::test
