// The window's figures: ETX-to-ACK latency and throughput against the line's
// own limit, in memory and on disk, empty and large files.
#include "WindowRig.h"
#include "capture/CaptureFiles.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <termios.h>

namespace kelmor::bench {

using namespace kelmor::capture;

namespace {

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

} // namespace

void windowBench(const std::string& shmDir, const std::string& diskDir, std::size_t bigSize,
                 int records) {
    const BoundLine line;
    const test::Pty& pty = line.pty;
    qt::QtWindow form;
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

} // namespace kelmor::bench
