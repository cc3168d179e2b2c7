#include "QuitOnSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kelmor::qt {

namespace {

// A handler may only do async-signal-safe work: it writes one byte, and the
// event loop does the rest.
int wakeup[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeup[1], &byte, 1);
}

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};

} // namespace

QuitOnSignals::QuitOnSignals(QObject* parent) : QObject(parent) {
    // pipe() and fcntl(), not pipe2(): macOS has no pipe2.
    if (::pipe(wakeup) != 0) {
        failure_ = std::strerror(errno);
        return;
    }
    for (int fd : wakeup) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    notifier_ = new QSocketNotifier(wakeup[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [] {
        char bytes[16];
        while (::read(wakeup[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : Signals) {
        // A signal ignored at start (nohup) stays ignored.
        struct sigaction inherited {};
        if (::sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        ::sigaction(sig, &action, nullptr);
    }
    // A message to a reader that has gone is a failed write, not the end.
    std::signal(SIGPIPE, SIG_IGN);
}

QuitOnSignals::~QuitOnSignals() {
    // The program is ending on the way it was asked to: more of the same
    // signals (a storm) must not cut that short.
    for (int sig : Signals)
        if (struct sigaction now{};
            ::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == onSignal)
            std::signal(sig, SIG_IGN);
    delete notifier_;
    for (int& fd : wakeup) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace kelmor::qt
