// The capture core fed arbitrary sequences of arrivals, timer ticks and a
// folder that comes and goes, checked against a simple model of what must be
// on disk and what the device must have heard.
#include "capture/Capture.h"
#include "capture/SerialLink.h"
#include "support/FakePort.h"
#include "support/ReferenceCsv.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

using kelmor::test::FakePort;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

const std::string& workDir() {
    static const std::string dir = [] {
        const char* shm = "/dev/shm";
        std::string base =
            std::filesystem::exists(shm) ? shm : std::filesystem::temp_directory_path();
        base += "/kelmor-fuzz-" + std::to_string(::getpid());
        return base;
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    const std::string dir = workDir();
    const std::string folder = dir + "/out";
    const std::string away = dir + "/away";
    fs::remove_all(dir);
    fs::create_directories(folder);
    const std::string base = folder + "/log";

    FakePort port;
    kelmor::capture::Capture capture;
    bool folderThere = true;

    // The model.
    std::string buffer, waiting, file;
    std::size_t acks = 0;
    int idle = 0, retry = 0;

    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t op = data[i++];
        bool attempted = false;
        switch (op % 5) {
        case 0:
        case 1:
        case 2: { // an arrival of up to 15 bytes
            const std::size_t len = std::min<std::size_t>(op / 5 % 16, size - i);
            const std::string chunk(reinterpret_cast<const char*>(data + i), len);
            i += len;
            port.incoming = chunk;
            (void)capture.onComm(port, base);

            idle = 0;
            for (char ch : chunk)
                buffer += ch == 0x1c ? ' ' : ch;
            if (chunk.find('\x03') != std::string::npos) {
                waiting += kelmor::test::referenceClean(buffer);
                buffer.clear();
            }
            attempted = !waiting.empty();
            break;
        }
        case 3: // a timer tick
            (void)capture.onTick(port, base);
            if (!waiting.empty() && ++retry >= kelmor::capture::Capture::RetryTicks) {
                retry = 0;
                if (folderThere) {
                    file += waiting;
                    waiting.clear();
                    ++acks;
                }
            }
            if (idle > kelmor::capture::Capture::IdleThreshold) {
                if (waiting.empty()) // never an idle ACK while text waits
                    ++acks;
                idle = 0;
            } else {
                ++idle;
            }
            break;
        case 4: // the folder vanishes or comes back
            fs::rename(folderThere ? folder : away, folderThere ? away : folder);
            folderThere = !folderThere;
            break;
        }
        if (attempted) {
            retry = 0;
            if (folderThere) {
                file += waiting;
                waiting.clear();
                ++acks;
            }
        }

        check(capture.rxBuffer() == buffer, "receive buffer");
        check(capture.waiting() == waiting, "waiting text");
        check(port.acks() == acks, "one ACK per store, none while text waits");
        check(capture.idleTicks() == idle, "idle count");
        const std::string& where = folderThere ? folder : away;
        const std::string onDisk = readAll(where + "/log.txt");
        check(onDisk == file, "capture file is the stored texts, each once");
        for (char ch : onDisk)
            check(ch == '\r' || (ch >= 0x20 && ch <= 'z'), "only CR and 0x20-0x7A stored");
        if (!file.empty())
            check(readAll(where + "/log.csv") == kelmor::test::referenceCsv(file), "CSV mirrors");
    }
    fs::remove_all(dir);
    return 0;
}
