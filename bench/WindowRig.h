#pragma once

// What the window benchmarks share: a line bound as Comm 3, the records the
// device sends, "Save As", and waiting for ACKs and for the CSV file.
#include "Bench.h"
#include "QtWindow.h"
#include "support/Pty.h"
#include "support/QtSupport.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QFileDialog>
#include <QPushButton>
#include <QTimer>

#include <cstring>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kelmor::bench {

using namespace kelmor::capture;

inline const std::string Record = "\x02"
                                  "2026-12-07\x1c"
                                  "10:00:00\x1c"
                                  "ID000042\x1c"
                                  "12.5 g\x1c"
                                  "OK\x03";

// Presses "Save As" and confirms the name in the dialog.
inline void saveAs(qt::QtWindow& form, const std::string& name) {
    QTimer::singleShot(0, [name] {
        if (QFileDialog* dialog = test::waitForSaveDialog())
            (void)test::answerSaveDialog(*dialog, name); // the CSV file not growing says so
    });
    form.findChild<QPushButton*>(QStringLiteral("cmdGetData"))->click();
}

inline bool waitAck(int fd, int timeoutMs) {
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
inline void waitForCsv(qt::QtWindow& form) {
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
inline Lockstep lockstep(int masterFd, int records) {
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

} // namespace kelmor::bench
