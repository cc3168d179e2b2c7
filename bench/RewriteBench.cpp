// The CSV rewrite in slices, and one long line against many lines.
#include "WindowRig.h"
#include "capture/CaptureFiles.h"
#include "platform/File.h"

#include <QEventLoop>

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>

namespace kelmor::bench {

using namespace kelmor::capture;

namespace {

// Watches the event loop: the longest gap between two turns of a 1 ms timer
// is the longest the window was blocked.
class LoopWatch {
public:
    LoopWatch() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            maxGapMs_ =
                std::max(maxGapMs_, std::chrono::duration<double, std::milli>(now - last_).count());
            last_ = now;
        });
        last_ = Clock::now();
        timer_.start(1);
    }
    double maxGapMs() const { return maxGapMs_; }

private:
    QTimer timer_;
    Clock::time_point last_;
    double maxGapMs_ = 0;
};

// A record of the given text without framing: STX first unless oneLine.
std::string paced(int i, bool oneLine) {
    return std::string(oneLine ? "" : "\x02") + "R" + std::to_string(100000 + i) + "\x1c" +
           "12.5 g\x03";
}

struct RewriteRun {
    double firstAckUs = 0;
    std::vector<double> duringUs; // ETX->ACK of records during the rewrite
    double finishS = 0;           // first store to the CSV complete
    double maxGapMs = 0;
    long long bytesLost = 0;
};

// Starts capture into a big capture file; the device sends at the line's
// pace (19200 baud, 10 bits a byte) while the CSV is rewritten.
RewriteRun rewriteAtLinePace(qt::QtWindow& form, int masterFd, const std::string& base) {
    RewriteRun run;
    const auto txtBefore = std::filesystem::file_size(base + ".txt");
    std::atomic<bool> stored{false}; // the first record is in: the rewrite runs
    std::atomic<bool> pending{true};
    Clock::time_point start;
    saveAs(form, base);
    LoopWatch watch;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (stored && pending && !form.form().capture().csvPending()) {
            pending = false;
            run.finishS = secondsSince(start);
            run.maxGapMs = watch.maxGapMs();
        }
    });
    poll.start(1);
    std::size_t sentBytes = 0;
    withDevice([&] {
        for (int i = 0; pending || i < 3; ++i) {
            const std::string record = paced(i, false);
            const auto sent = Clock::now();
            if (i == 0)
                start = sent;
            if (::write(masterFd, record.data(), record.size()) < 0 || !waitAck(masterFd, 10000))
                break;
            sentBytes += record.size();
            const double us = secondsSince(sent) * 1e6;
            if (i == 0) {
                run.firstAckUs = us;
                stored = true;
            } else if (pending) {
                run.duringUs.push_back(us);
            }
            // The line's own pace: the record's bytes take this long to send.
            const double lineS = static_cast<double>(record.size()) * 10 / 19200;
            std::this_thread::sleep_until(sent + std::chrono::duration<double>(lineS));
            if (secondsSince(start) > 600)
                break;
        }
    });
    run.bytesLost = static_cast<long long>(txtBefore + sentBytes) -
                    static_cast<long long>(std::filesystem::file_size(base + ".txt"));
    return run;
}

// ETX->ACK of the first store after a start, over several starts. Without
// a clean stop the window just goes, mid-rewrite, leaving the old CSV file as
// it was; with one, as a service's at every boot, `rewrites` counts the
// starts that rendered the CSV file anew (a new file in its place).
std::vector<double> firstStoreAfterStart(int masterFd, const std::string& base, int starts,
                                         bool cleanStop = false, int* rewrites = nullptr) {
    const auto csvFile = [&]() -> long long {
        const auto stamp = platform::File::stampOf(base + ".csv");
        return stamp ? static_cast<long long>(stamp->inode) : -1;
    };
    std::vector<double> us;
    for (int i = 0; i < starts; ++i) {
        const long long before = csvFile();
        qt::QtWindow form; // a new run: it knows nothing of the files
        form.start({});
        saveAs(form, base);
        withDevice([&] {
            const std::string record = paced(i, false);
            const auto sent = Clock::now();
            if (::write(masterFd, record.data(), record.size()) >= 0 && waitAck(masterFd, 10000))
                us.push_back(secondsSince(sent) * 1e6);
        });
        if (cleanStop)
            form.endCapture();
        if (rewrites != nullptr && csvFile() != before)
            ++*rewrites;
    }
    return us;
}

} // namespace

void rewriteBench(const std::string& shmDir, const std::string& diskDir, bool small) {
    const BoundLine line;
    const test::Pty& pty = line.pty;
    const int master = test::Pty::masterFd(pty);
    const int starts = small ? 5 : 30;

    struct Case {
        const char* place;
        std::string dir;
        std::size_t size;
    };
    const Case cases[] = {{"shm", shmDir, small ? (8u << 20) : (1u << 30)},
                          {"disk", diskDir, small ? (32u << 20) : (std::size_t{8} << 30)}};
    for (const Case& c : cases) {
        const std::string base = c.dir + "/rewrite";
        const std::string tag = std::string(c.place) + "_" + sizeName(c.size);
        fillCapture(base + ".txt", c.size);

        // The baseline: the same in the same place, into an empty file.
        const std::vector<double> emptyFirst =
            firstStoreAfterStart(master, c.dir + "/first-empty", starts);
        report(std::string("first_store_etx_to_ack_p99_us_empty_") + c.place,
               percentile(emptyFirst, 99), "us");
        const std::vector<double> first = firstStoreAfterStart(master, base, starts);
        report("first_store_etx_to_ack_p99_us_" + tag, percentile(first, 99), "us");
        report("first_store_p99_over_empty_" + tag,
               percentile(first, 99) / percentile(emptyFirst, 99));

        // The baseline first: the whole CSV file in one pass, from the same start (no CSV
        // file yet).
        const auto start = Clock::now();
        {
            // Gone before the window starts: it holds the capture file.
            CaptureFiles single;
            (void)single.store("\r", base);
        }
        const double singleS = secondsSince(start);
        // What it left in the page cache goes out before the sliced run, so
        // that run starts on a quiet disk.
        if (const int fd = ::open((base + ".csv").c_str(), O_RDONLY); fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
        std::filesystem::remove(base + ".csv");

        // A clean stop at the end records the CSV file; the window goes
        // with the hold on the capture file.
        auto form = std::make_unique<qt::QtWindow>();
        form->start({});
        const RewriteRun run = rewriteAtLinePace(*form, master, base);
        form->endCapture();
        form.reset();
        report("rewrite_loop_blocked_max_ms_" + tag, run.maxGapMs, "ms");
        report("rewrite_etx_to_ack_p99_us_during_" + tag, percentile(run.duringUs, 99), "us");
        report("rewrite_records_during_" + tag, static_cast<double>(run.duringUs.size()));
        report("rewrite_bytes_lost_at_line_pace_" + tag, static_cast<double>(run.bytesLost), "B");
        report("rewrite_sliced_s_" + tag, run.finishS, "s");
        report("rewrite_single_pass_s_" + tag, singleS, "s");
        report("rewrite_sliced_over_single_pass_" + tag, run.finishS / singleS);

        // The next start goes on in the CSV file the clean stop recorded.
        int rewrites = 0;
        const std::vector<double> clean =
            firstStoreAfterStart(master, base, starts, true, &rewrites);
        report("first_store_after_clean_stop_p99_us_" + tag, percentile(clean, 99), "us");
        report("first_store_after_clean_stop_p99_over_empty_" + tag,
               percentile(clean, 99) / percentile(emptyFirst, 99));
        report("rewrites_after_clean_stop_" + tag, rewrites);
        for (const char* name :
             {"/rewrite.txt", "/rewrite.csv", "/first-empty.txt", "/first-empty.csv",
              "/.rewrite.txt.kelmor-times", "/.first-empty.txt.kelmor-times"})
            std::filesystem::remove(c.dir + name);
    }
}

// ETX->ACK into a capture file that is one long line (a device that never
// sends STX) against one of many lines of the same size.
void longLine(const std::string& shmDir, bool small) {
    const BoundLine line;
    const test::Pty& pty = line.pty;
    const int master = test::Pty::masterFd(pty);
    const std::size_t size = small ? (8u << 20) : (64u << 20);
    double medians[2] = {};
    for (const bool oneLine : {false, true}) {
        const std::string base = shmDir + (oneLine ? "/one-line" : "/many-lines");
        if (oneLine) {
            std::ofstream(base + ".txt", std::ios::binary) << std::string(size, 'x');
        } else {
            fillCapture(base + ".txt", size);
        }
        qt::QtWindow form;
        form.start({});
        saveAs(form, base);
        lockstep(master, 1);
        waitForCsv(form);
        std::vector<double> us;
        withDevice([&] {
            for (int i = 0; i < (small ? 100 : 500); ++i) {
                const std::string record = paced(i, oneLine);
                const auto sent = Clock::now();
                if (::write(master, record.data(), record.size()) < 0 || !waitAck(master, 10000))
                    break;
                us.push_back(secondsSince(sent) * 1e6);
            }
        });
        medians[oneLine ? 1 : 0] = percentile(us, 50);
        std::filesystem::remove(base + ".txt");
        std::filesystem::remove(base + ".csv");
    }
    const std::string tag = sizeName(size);
    report("etx_to_ack_p50_us_many_lines_" + tag, medians[0], "us");
    report("etx_to_ack_p50_us_one_line_" + tag, medians[1], "us");
    report("one_line_over_many_lines_" + tag, medians[1] / medians[0]);
}

} // namespace kelmor::bench
