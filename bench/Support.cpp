#include "Bench.h"

#include <fstream>

namespace kelmor::bench {

std::string fillCapture(const std::string& path, std::size_t bytes) {
    const std::string record = "\r2026-12-07 10:00:00 ID000042 12.5 g OK ";
    std::string block;
    while (block.size() < (1u << 20))
        block += record;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::size_t written = 0;
    while (written < bytes) {
        const std::size_t n = std::min(block.size(), bytes - written);
        out.write(block.data(), static_cast<std::streamsize>(n));
        written += n;
    }
    return path;
}

long peakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

} // namespace kelmor::bench
