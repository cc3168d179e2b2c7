// kelmor-device-sim: a simulated instrument on a pseudo-terminal, bound as
// "Comm N" through the same link folder the program reads. It sends framed
// records and reports the ACKs that come back.
#include "app/PortNaming.h"
#include "capture/Framing.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using kelmor::framing::ACK;
using kelmor::framing::ETX;
using kelmor::framing::FS;
using kelmor::framing::STX;

const char* const Usage = R"(Usage: kelmor-device-sim [options]

A simulated instrument for KELMOR CSV File Creator. It creates a
pseudo-terminal, binds it as "Comm N" (the link comN in the folder the
program reads: $XDG_CONFIG_HOME/kelmor-csv, by default ~/.config/kelmor-csv),
waits for the program to open that port, then sends records framed as STX,
fields separated by FS, ETX, and prints each ACK that comes back.

Options:
  --port N          bind as Comm N, 1 to 15 (default 3)
  --file PATH       send the lines of this file as records, fields separated
                    by tabs, instead of the built-in samples
  --interval MS     milliseconds between records (default 1000)
  --count N         records to send, 0 for no end (default: 0 with the
                    samples, the number of lines with --file)
  --ack-timeout MS  report a record whose ACK takes longer (default 2000)
  --help            show this help

Press Ctrl+C to stop; the link is removed on the way out.
)";

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) {
    stopRequested = 1;
}

struct Options {
    int port = 3;
    std::string file;
    long intervalMs = 1000;
    std::optional<long> count;
    long ackTimeoutMs = 2000;
};

[[noreturn]] void fail(const std::string& message, int code = 2) {
    std::fprintf(stderr, "kelmor-device-sim: %s\n", message.c_str());
    if (code == 2)
        std::fprintf(stderr, "Try 'kelmor-device-sim --help'.\n");
    std::exit(code);
}

long number(const std::string& option, const char* text, long min, long max) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
        fail(option + " takes a whole number from " + std::to_string(min) + " to " +
             std::to_string(max) + ", not '" + text + "'");
    return value;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            std::exit(0);
        }
        const bool takesValue = arg == "--port" || arg == "--file" || arg == "--interval" ||
                                arg == "--count" || arg == "--ack-timeout";
        if (!takesValue)
            fail("unknown option '" + arg + "'");
        if (i + 1 >= argc)
            fail(arg + " needs a value");
        const char* value = argv[++i];
        if (arg == "--port")
            o.port = static_cast<int>(number(arg, value, 1, 15));
        else if (arg == "--file")
            o.file = value;
        else if (arg == "--interval")
            o.intervalMs = number(arg, value, 0, 3600000);
        else if (arg == "--count")
            o.count = number(arg, value, 0, LONG_MAX);
        else
            o.ackTimeoutMs = number(arg, value, 1, 3600000);
    }
    return o;
}

std::vector<std::vector<std::string>> readRecords(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("cannot read '" + path + "': " + std::strerror(errno), 1);
    std::vector<std::vector<std::string>> records;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        std::vector<std::string> fields(1);
        for (char ch : line) {
            if (ch == '\t')
                fields.emplace_back();
            else
                fields.back() += ch;
        }
        records.push_back(fields);
    }
    if (records.empty())
        fail("'" + path + "' holds no records", 1);
    return records;
}

// A balance weighing samples: date, time, sample ID, mass, stability.
std::vector<std::string> sample(long n) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char date[16], time[16], id[24], value[32];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    std::snprintf(id, sizeof id, "S%05ld", n + 1);
    std::snprintf(value, sizeof value, "%.2f g",
                  12.5 + static_cast<double>((n * 37) % 200) / 100.0);
    return {date, time, id, value, n % 7 == 6 ? "UNSTABLE" : "OK"};
}

std::string frame(const std::vector<std::string>& fields) {
    std::string r(1, STX);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            r += FS;
        r += fields[i];
    }
    return r + ETX;
}

bool isPseudoTerminal(const fs::path& target) {
    const std::string s = target.string();
    return s.rfind("/dev/pts/", 0) == 0 || s == "/dev/ptmx";
}

// Binds the link, refusing to take the place of a real device.
void bind(const std::string& link, const std::string& slave) {
    std::error_code ec;
    const auto status = fs::symlink_status(link, ec);
    if (fs::exists(status)) {
        if (!fs::is_symlink(status))
            fail(link + " exists and is not a link; not replacing it", 1);
        const fs::path target = fs::read_symlink(link, ec);
        const fs::path resolved = fs::weakly_canonical(fs::path(link).parent_path() / target, ec);
        const bool dangling = !fs::exists(resolved, ec);
        if (!dangling && !isPseudoTerminal(resolved))
            fail(link + " points to " + resolved.string() +
                     ", a real device; not replacing it. Pick another port with --port.",
                 1);
        fs::remove(link, ec);
    }
    fs::create_directories(fs::path(link).parent_path(), ec);
    fs::create_symlink(slave, link, ec);
    if (ec)
        fail("cannot create the link " + link + ": " + ec.message(), 1);
}

void unbind(const std::string& link, const std::string& slave) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(link, ec)) && fs::read_symlink(link, ec) == slave)
        fs::remove(link, ec);
}

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// True once the program holds the other side open.
bool programConnected(int master) {
    pollfd p{master, POLLIN, 0};
    ::poll(&p, 1, 0);
    return (p.revents & POLLHUP) == 0;
}

// The device's side of the line: sends the records, each when it is due,
// and reports every ACK and every record that got none.
class Simulator {
public:
    Simulator(const Options& o, int master, std::vector<std::vector<std::string>> fileRecords)
        : o_(o), master_(master), fileRecords_(std::move(fileRecords)),
          count_(o.count.value_or(static_cast<long>(fileRecords_.size()))) {}

    // Until a signal, or every record is sent and answered; the exit code.
    int run() {
        while (!stopRequested) {
            if (!connected()) {
                ::usleep(50 * 1000);
                continue;
            }
            const bool done = count_ > 0 && sent_ >= count_;
            if (done && unanswered_ < 0)
                break;
            if (!done && Clock::now() >= nextSend_ && !sendNext())
                return 1;
            checkTimeout();
            readAcks();
        }
        return exitCode_;
    }

private:
    // Whether the program has the port open; says when that changes.
    bool connected() {
        if (!programConnected(master_)) {
            if (connected_ || !announced_) {
                std::printf("Waiting for the program to open Comm %d ...\n", o_.port);
                std::fflush(stdout);
                announced_ = true;
            }
            connected_ = false;
            unanswered_ = -1;
            return false;
        }
        if (!connected_) {
            std::printf("The program opened Comm %d.\n", o_.port);
            std::fflush(stdout);
            connected_ = true;
            nextSend_ = Clock::now();
        }
        return true;
    }

    bool sendNext() {
        const auto fields =
            fileRecords_.empty()
                ? sample(sent_)
                : fileRecords_[static_cast<std::size_t>(sent_) % fileRecords_.size()];
        const std::string record = frame(fields);
        if (::write(master_, record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
            std::fprintf(stderr, "kelmor-device-sim: write failed: %s\n", std::strerror(errno));
            return false;
        }
        etxAt_ = lastActivity_ = Clock::now();
        if (unanswered_ >= 0)
            std::printf("record %ld: no ACK before the next record was due\n", unanswered_ + 1);
        unanswered_ = sent_++;
        std::string shown;
        for (const auto& f : fields)
            shown += (shown.empty() ? "" : " | ") + f;
        std::printf("record %ld sent: %s\n", sent_, shown.c_str());
        std::fflush(stdout);
        nextSend_ += std::chrono::milliseconds(o_.intervalMs);
        return true;
    }

    void checkTimeout() {
        if (unanswered_ < 0 || msSince(etxAt_) <= static_cast<double>(o_.ackTimeoutMs))
            return;
        std::printf("record %ld: no ACK within %ld ms\n", unanswered_ + 1, o_.ackTimeoutMs);
        std::fflush(stdout);
        unanswered_ = -1;
        if (count_ > 0 && sent_ >= count_)
            exitCode_ = 1;
    }

    void readAcks() {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
            return;
        char buf[256];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != ACK)
                continue;
            if (unanswered_ >= 0) {
                std::printf("ACK for record %ld after %.1f ms\n", unanswered_ + 1, msSince(etxAt_));
                unanswered_ = -1;
            } else {
                std::printf("idle ACK after %.1f s of quiet\n", msSince(lastActivity_) / 1000.0);
            }
            lastActivity_ = Clock::now();
            std::fflush(stdout);
        }
    }

    const Options& o_;
    int master_;
    std::vector<std::vector<std::string>> fileRecords_;
    long count_;
    long sent_ = 0;
    long unanswered_ = -1; // the record waiting for its ACK, if any
    Clock::time_point etxAt_{};
    Clock::time_point lastActivity_ = Clock::now();
    Clock::time_point nextSend_ = Clock::now();
    bool connected_ = false;
    bool announced_ = false;
    int exitCode_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    auto fileRecords =
        o.file.empty() ? std::vector<std::vector<std::string>>{} : readRecords(o.file);

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        fail(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno), 1);
    const std::string slave = ::ptsname(master);
    // Opened and closed once, so that the master reports a hang-up until the
    // program opens the port.
    ::close(::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));

    const std::string link = kelmor::app::portLinkFolder() + "/com" + std::to_string(o.port);
    bind(link, slave);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("Bound Comm %d: %s -> %s\n", o.port, link.c_str(), slave.c_str());
    std::fflush(stdout);
    const int exitCode = Simulator(o, master, std::move(fileRecords)).run();
    unbind(link, slave);
    ::close(master);
    return exitCode;
}
