// The capture core without a window: store cost against the file's size,
// scanning cost of a stream without ETX, and peak memory.
#include "Bench.h"
#include "capture/Capture.h"
#include "capture/CaptureFiles.h"
#include "support/FakePort.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <unistd.h>
#include <utility>

namespace kelmor::bench {

using namespace kelmor::capture;

namespace {

using test::FakePort;

const std::string Record100 = "\r" + std::string(98, 'r') + " ";

double medianStoreUs(CaptureFiles& files, const std::string& base, int count) {
    std::vector<double> us;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const StoreResult r = files.store(Record100, base);
        us.push_back(secondsSince(start) * 1e6);
        if (const MaybeError& err = r.stored() ? r.csvError : r.storeError)
            std::fprintf(stderr, "store failed: %s\n", err->text().c_str());
    }
    return percentile(us, 50);
}

// The store as the plain design does it: append, then rewrite the whole CSV.
double medianFullStoreUs(const std::string& base, int count) {
    std::vector<double> us;
    for (int i = 0; i < count; ++i) {
        CaptureFiles fresh; // knows nothing of the files, so rewrites the CSV whole
        const auto start = Clock::now();
        (void)fresh.store(Record100, base);
        us.push_back(secondsSince(start) * 1e6);
    }
    return percentile(us, 50);
}

} // namespace

void storeCost(const std::string& shmDir, const std::string& diskDir,
               const std::vector<std::size_t>& sizes, bool small) {
    std::vector<double> incremental;
    for (const std::size_t size : sizes) {
        const std::string base = shmDir + "/store-" + sizeName(size);
        fillCapture(base + ".txt", size);
        double inc = 0;
        {
            // Gone before the full rewrites: it holds the capture file.
            CaptureFiles files;
            (void)files.store(Record100, base); // the first store of a run rewrites the CSV
            inc = medianStoreUs(files, base, small ? 50 : 200);
        }
        const int fullRuns = size >= (1u << 30) ? 3 : size >= (64u << 20) ? 5 : 15;
        const double full = medianFullStoreUs(base, fullRuns);
        report("store_incremental_us_" + sizeName(size), inc, "us");
        report("store_full_rewrite_us_" + sizeName(size), full, "us");
        report("full_over_incremental_" + sizeName(size), full / inc);
        incremental.push_back(inc);
        std::filesystem::remove(base + ".txt");
        std::filesystem::remove(base + ".csv");
    }
    if (incremental.size() > 1)
        report("store_largest_over_smallest", incremental.back() / incremental.front());

    // The same store on the real disk, where fdatasync makes most of the cost.
    const std::string base = diskDir + "/store-disk";
    fillCapture(base + ".txt", 1u << 20);
    CaptureFiles files;
    (void)files.store(Record100, base);
    report("store_incremental_disk_us_1MiB", medianStoreUs(files, base, small ? 20 : 100), "us");
    std::vector<double> syncUs;
    const int fd = ::open((base + ".txt").c_str(), O_WRONLY | O_APPEND);
    for (int i = 0; i < (small ? 20 : 100); ++i) {
        if (::write(fd, Record100.data(), Record100.size()) < 0)
            break;
        const auto start = Clock::now();
        ::fdatasync(fd);
        syncUs.push_back(secondsSince(start) * 1e6);
    }
    ::close(fd);
    report("fdatasync_disk_us", percentile(syncUs, 50), "us");
    std::filesystem::remove(base + ".txt");
    std::filesystem::remove(base + ".csv");
}

void noEtxStream(const std::vector<std::size_t>& sizes) {
    std::vector<double> seconds;
    for (const std::size_t size : sizes) {
        Capture capture;
        FakePort port;
        const std::string chunk(64, 'x');
        const auto start = Clock::now();
        for (std::size_t sent = 0; sent < size; sent += chunk.size()) {
            port.incoming = chunk;
            (void)capture.onComm(port, "unused");
        }
        seconds.push_back(secondsSince(start));
        report("no_etx_stream_s_" + sizeName(size), seconds.back(), "s");
    }
    if (seconds.size() > 1)
        report("no_etx_largest_over_smallest", seconds.back() / seconds.front());
}

// Run in a fresh process so that its peak is its own.
int peakChild(const std::string& base) {
    Capture capture;
    FakePort port;
    const std::string record = "\x02"
                               "2026-12-07\x1c"
                               "10:00:00\x1c"
                               "ID42\x1c"
                               "12.5 g\x1c"
                               "OK\x03";
    for (int i = 0; i < 1000; ++i) {
        port.incoming = record;
        if (auto err = capture.onComm(port, base)) {
            std::fprintf(stderr, "%s\n", err->text().c_str());
            return 1;
        }
    }
    std::printf("%ld\n", peakRssKiB());
    return 0;
}

void peakMemory(const std::string& self, const std::string& shmDir, std::size_t bigSize) {
    auto measure = [&](const std::string& base) {
        const std::string command = "'" + self + "' --peak-child '" + base + "'";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        long kib = 0;
        if (pipe && std::fscanf(pipe.get(), "%ld", &kib) != 1)
            kib = 0;
        return kib;
    };
    const std::string empty = shmDir + "/peak-empty";
    const std::string big = shmDir + "/peak-big";
    fillCapture(big + ".txt", bigSize);
    const long emptyKiB = measure(empty);
    const long bigKiB = measure(big);
    report("peak_rss_kib_empty", static_cast<double>(emptyKiB), "KiB");
    report("peak_rss_kib_" + sizeName(bigSize), static_cast<double>(bigKiB), "KiB");
    report("peak_rss_big_over_empty", static_cast<double>(bigKiB) / static_cast<double>(emptyKiB));
    for (const auto& base : {empty, big}) {
        std::filesystem::remove(base + ".txt");
        std::filesystem::remove(base + ".csv");
    }
}

} // namespace kelmor::bench
