#include "Bench.h"

#include <fcntl.h>
#include <fstream>
#include <unistd.h>

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
    out.close();
    // On disk as an old capture file would be, so that the first fdatasync
    // of a run does not pay for writing this one out.
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return path;
}

} // namespace kelmor::bench
