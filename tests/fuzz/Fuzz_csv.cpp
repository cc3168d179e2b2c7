// Rendering in blocks, split anywhere, gives the plain line-by-line rendering;
// with times and fields, blocks and a continuation from a resume point give
// what one pass gives.
#include "capture/CsvFormat.h"
#include "support/ReferenceCsv.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace kelmor::capture;

namespace {

struct Seed {
    unsigned state;
    unsigned next(unsigned range) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % range;
    }
};

// Stores of random lengths over the capture, with separators on some spaces.
std::vector<StoreEntry> storesOver(std::string_view capture, Seed& seed) {
    std::vector<StoreEntry> stores;
    for (std::uint64_t at = 0; at < capture.size();) {
        StoreEntry s{at,
                     std::min<std::uint64_t>(capture.size(), at + 1 + seed.next(9)),
                     1765101600000 + static_cast<std::int64_t>(seed.next(100000)),
                     {}};
        for (std::uint64_t i = s.start; i < s.end; ++i)
            if (capture[i] == ' ' && seed.next(2) == 0)
                s.separators.push_back(
                    {i, seed.next(2) ? Separator::Kind::Fs : Separator::Kind::Etx});
        at = s.end;
        if (seed.next(5) != 0) // some bytes have no store
            stores.push_back(std::move(s));
    }
    return stores;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte seeds the block sizes; the rest is the capture file.
    Seed seed{data[0]};
    const std::string_view capture(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string csv;
    CsvRenderer renderer;
    for (std::size_t pos = 0; pos < capture.size();) {
        const std::size_t len = std::min<std::size_t>(1 + seed.next(7), capture.size() - pos);
        renderer.feed(capture.substr(pos, len), csv);
        pos += len;
    }
    renderer.finish(csv);
    if (csv != kelmor::test::referenceCsv(capture))
        std::abort();

    StoreNotes stores;
    for (const StoreEntry& s : storesOver(capture, seed))
        stores.add(s);
    const CsvOptions options{seed.next(2) == 1, seed.next(2) == 1};
    std::string whole;
    RecordRenderer once(options);
    once.feed(capture, stores, whole);
    once.finish(whole);

    // In blocks, with a continuation from a resume point halfway.
    std::string parts;
    const std::size_t cut = capture.empty() ? 0 : seed.next(static_cast<unsigned>(capture.size()));
    RecordRenderer first(options);
    for (std::size_t pos = 0; pos < cut;) {
        const std::size_t len = std::min<std::size_t>(1 + seed.next(7), cut - pos);
        first.feed(capture.substr(pos, len), stores, parts);
        pos += len;
    }
    const CsvResume resume = first.resumePoint();
    first.finish(parts);
    parts.resize(static_cast<std::size_t>(resume.csvOffset));
    RecordRenderer rest(options, resume);
    rest.feed(capture.substr(cut), stores, parts);
    rest.finish(parts);
    if (parts != whole)
        std::abort();
    return 0;
}
