// kelmor-bench: prints its figures as "name: value" lines, each with the
// baseline it is to be compared with from the same run.
//   kelmor-bench            full sizes (1 GiB files; several minutes)
//   kelmor-bench --small    small sizes, a smoke test
#include "Bench.h"
#include "MainWindow.h"
#include "capture/CaptureFiles.h"
#include "support/Pty.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kelmor::bench {
void storeCost(const std::string& shmDir, const std::string& diskDir,
               const std::vector<std::size_t>& sizes, bool small);
void noEtxStream(const std::vector<std::size_t>& sizes);
int peakChild(const std::string& base);
void peakMemory(const std::string& self, const std::string& shmDir, std::size_t bigSize);
} // namespace kelmor::bench

using namespace kelmor;
using namespace kelmor::bench;

namespace {

const std::string Record = "\x02"
                           "2026-12-07\x1c"
                           "10:00:00\x1c"
                           "ID000042\x1c"
                           "12.5 g\x1c"
                           "OK\x03";

// Presses "Save As" and confirms the name in the dialog.
void saveAs(qt::MainWindow& form, const std::string& name) {
    QTimer::singleShot(0, [name] {
        QFileDialog* dialog = nullptr;
        while (!(dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(QString::fromStdString(name));
        static_cast<QDialog*>(dialog)->accept();
    });
    form.findChild<QPushButton*>(QStringLiteral("cmdGetData"))->click();
}

bool waitAck(int fd, int timeoutMs) {
    char buf[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0 && std::memchr(buf, 0x06, static_cast<std::size_t>(n)))
            return true;
    }
}

// Runs the window's event loop while the device does its part on a thread.
template <typename Device> void withDevice(Device device) {
    QEventLoop loop;
    std::thread thread([&] {
        device();
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    thread.join();
}

// A pseudo-terminal bound as Comm 3; every other port points nowhere.
struct BoundLine {
    test::TempDir config;
    test::ScopedEnv configHome{"XDG_CONFIG_HOME", config.path()};
    test::Pty pty;
    BoundLine() {
        test::guardPorts(config.path());
        test::bindPort(config.path(), 3, pty.slavePath());
    }
};

// Runs the event loop until no CSV rewrite is pending.
void waitForCsv(qt::MainWindow& form) {
    QEventLoop settle;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (!form.form().capture().csvPending())
            settle.quit();
    });
    check.start(1);
    settle.exec();
}

struct Lockstep {
    std::vector<double> latencyUs;
    double recordsPerSecond = 0;
};

// The device sends the next record as soon as the ACK for the last came back.
Lockstep lockstep(int masterFd, int records) {
    Lockstep result;
    withDevice([&] {
        const auto start = Clock::now();
        for (int i = 0; i < records; ++i) {
            const auto sent = Clock::now();
            if (::write(masterFd, Record.data(), Record.size()) < 0 || !waitAck(masterFd, 10000))
                break;
            result.latencyUs.push_back(secondsSince(sent) * 1e6);
        }
        result.recordsPerSecond =
            static_cast<double>(result.latencyUs.size()) / secondsSince(start);
    });
    return result;
}

// The device sends everything without waiting; done when all is on disk.
double streaming(int masterFd, const std::string& txt, int records) {
    const std::size_t expected =
        std::filesystem::file_size(txt) + Record.size() * static_cast<std::size_t>(records);
    double seconds = 0;
    withDevice([&] {
        const auto start = Clock::now();
        std::string all;
        for (int i = 0; i < records; ++i)
            all += Record;
        std::size_t off = 0;
        char drain[4096];
        while (off < all.size() || std::filesystem::file_size(txt) < expected) {
            if (off < all.size()) {
                const ssize_t n = ::write(masterFd, all.data() + off,
                                          std::min<std::size_t>(4096, all.size() - off));
                if (n > 0)
                    off += static_cast<std::size_t>(n);
            }
            while (::read(masterFd, drain, sizeof drain) > 0) {
            }
            if (secondsSince(start) > 60)
                break;
            if (off == all.size())
                ::usleep(200);
        }
        seconds = secondsSince(start);
    });
    return static_cast<double>(records) / seconds;
}

// The floor any program on this pseudo-terminal can reach: a bare loop on
// the other side that answers ACK as soon as it sees ETX, nothing stored.
double ptyEchoRecordsPerSecond(int records) {
    test::Pty pty;
    const int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        char buf[4096];
        while (!stop) {
            pollfd p{slave, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(slave, buf, sizeof buf);
            if (n > 0 && std::memchr(buf, 0x03, static_cast<std::size_t>(n)) &&
                ::write(slave, "\x06", 1) < 0)
                break;
        }
    });
    const int master = test::Pty::masterFd(pty);
    const auto start = Clock::now();
    int done = 0;
    for (; done < records; ++done)
        if (::write(master, Record.data(), Record.size()) < 0 || !waitAck(master, 10000))
            break;
    const double rps = done / secondsSince(start);
    stop = true;
    echo.join();
    ::close(slave);
    return rps;
}

void windowBench(const std::string& shmDir, const std::string& diskDir, std::size_t bigSize,
                 int records) {
    const BoundLine line;
    const test::Pty& pty = line.pty;
    qt::MainWindow form;
    form.start({});

    struct Place {
        const char* name;
        std::string dir;
    };
    double lockstepRps = 0;
    for (const Place& place : {Place{"shm", shmDir}, Place{"disk", diskDir}}) {
        for (const std::size_t size : {std::size_t{0}, bigSize}) {
            const std::string base = place.dir + "/latency-" + std::to_string(size);
            if (size > 0)
                fillCapture(base + ".txt", size);
            saveAs(form, base);
            lockstep(test::Pty::masterFd(pty), 1); // the first store of a run rewrites the CSV
            waitForCsv(form);
            const Lockstep run = lockstep(test::Pty::masterFd(pty), records);
            const std::string tag =
                std::string(place.name) + "_" + (size ? sizeName(size) : "empty");
            report("etx_to_ack_p50_us_" + tag, percentile(run.latencyUs, 50), "us");
            report("etx_to_ack_p99_us_" + tag, percentile(run.latencyUs, 99), "us");
            if (size == 0 && std::string(place.name) == "shm")
                lockstepRps = run.recordsPerSecond;
            std::filesystem::remove(base + ".txt");
            std::filesystem::remove(base + ".csv");
        }
    }
    // The line's own limit: 10 bits a byte at 19200 baud.
    const double lineRps = 1920.0 / static_cast<double>(Record.size());
    report("line_limit_records_per_s", lineRps, "rec/s");
    report("lockstep_records_per_s", lockstepRps, "rec/s");
    report("lockstep_over_line_limit", lockstepRps / lineRps);
    const double echoRps = ptyEchoRecordsPerSecond(records);
    report("pty_echo_records_per_s", echoRps, "rec/s");
    report("pty_echo_over_line_limit", echoRps / lineRps);
    report("lockstep_over_pty_echo", lockstepRps / echoRps);

    const std::string base = shmDir + "/stream";
    saveAs(form, base);
    lockstep(test::Pty::masterFd(pty), 1);
    const double streamRps = streaming(test::Pty::masterFd(pty), base + ".txt", records * 5);
    report("streaming_records_per_s", streamRps, "rec/s");
    report("streaming_over_line_limit", streamRps / lineRps);
    std::filesystem::remove(base + ".txt");
    std::filesystem::remove(base + ".csv");
}

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
RewriteRun rewriteAtLinePace(qt::MainWindow& form, int masterFd, const std::string& base) {
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

// ETX->ACK of the first store after a start, over several starts.
std::vector<double> firstStoreAfterStart(int masterFd, const std::string& base, int starts) {
    std::vector<double> us;
    for (int i = 0; i < starts; ++i) {
        qt::MainWindow form; // a new run: it knows nothing of the files
        form.start({});
        saveAs(form, base);
        withDevice([&] {
            const std::string record = paced(i, false);
            const auto sent = Clock::now();
            if (::write(masterFd, record.data(), record.size()) >= 0 && waitAck(masterFd, 10000))
                us.push_back(secondsSince(sent) * 1e6);
        });
    } // closing the window mid-rewrite leaves the old CSV file as it was
    return us;
}

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

        qt::MainWindow form;
        form.start({});
        const RewriteRun run = rewriteAtLinePace(form, master, base);
        report("rewrite_loop_blocked_max_ms_" + tag, run.maxGapMs, "ms");
        report("rewrite_etx_to_ack_p99_us_during_" + tag, percentile(run.duringUs, 99), "us");
        report("rewrite_records_during_" + tag, static_cast<double>(run.duringUs.size()));
        report("rewrite_bytes_lost_at_line_pace_" + tag, static_cast<double>(run.bytesLost), "B");
        report("rewrite_sliced_s_" + tag, run.finishS, "s");
        report("rewrite_single_pass_s_" + tag, singleS, "s");
        report("rewrite_sliced_over_single_pass_" + tag, run.finishS / singleS);
        for (const char* name :
             {"/rewrite.txt", "/rewrite.csv", "/first-empty.txt", "/first-empty.csv"})
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
        qt::MainWindow form;
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

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "--peak-child") == 0)
        return peakChild(argv[2]);
    const bool small = argc > 1 && std::strcmp(argv[1], "--small") == 0;
    // --rewrite: only the figures of the CSV rewrite and the long line.
    const bool rewriteOnly = argc > 1 && std::strcmp(argv[argc - 1], "--rewrite") == 0;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    const std::string shmRoot = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    const std::string shmDir = shmRoot + "/kelmor-bench-" + std::to_string(::getpid());
    const std::string diskDir =
        std::filesystem::absolute(".kelmor-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(shmDir);
    std::filesystem::create_directories(diskDir);

    const std::size_t big = small ? (8u << 20) : (1u << 30);
    std::printf("# kelmor-bench (%s): memory files in %s, disk files in %s\n",
                small ? "small" : "full", shmDir.c_str(), diskDir.c_str());
    if (rewriteOnly) {
        QApplication app(argc, argv);
        longLine(shmDir, small);
        rewriteBench(shmDir, diskDir, small);
        std::filesystem::remove_all(shmDir);
        std::filesystem::remove_all(diskDir);
        return 0;
    }
    storeCost(shmDir, diskDir,
              small ? std::vector<std::size_t>{1u << 20, 8u << 20}
                    : std::vector<std::size_t>{1u << 20, 64u << 20, 1u << 30},
              small);
    noEtxStream(small ? std::vector<std::size_t>{1u << 20, 8u << 20}
                      : std::vector<std::size_t>{8u << 20, 64u << 20});
    peakMemory(argv[0], shmDir, big);

    QApplication app(argc, argv);
    windowBench(shmDir, diskDir, big, small ? 200 : 2000);
    longLine(shmDir, small);
    rewriteBench(shmDir, diskDir, small);

    std::filesystem::remove_all(shmDir);
    std::filesystem::remove_all(diskDir);
    return 0;
}
