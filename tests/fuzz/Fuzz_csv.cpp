// Rendering in blocks, split anywhere, gives the plain line-by-line rendering.
#include "capture/CsvFormat.h"
#include "support/ReferenceCsv.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte seeds the block sizes; the rest is the capture file.
    unsigned seed = data[0];
    const std::string_view capture(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string csv;
    kelmor::capture::CsvRenderer renderer;
    for (std::size_t pos = 0; pos < capture.size();) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t len = std::min<std::size_t>(1 + (seed >> 16) % 7, capture.size() - pos);
        renderer.feed(capture.substr(pos, len), csv);
        pos += len;
    }
    renderer.finish(csv);
    if (csv != kelmor::test::referenceCsv(capture))
        std::abort();
    return 0;
}
