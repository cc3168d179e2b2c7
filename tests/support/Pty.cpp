#include "support/Pty.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace kelmor::test {

Pty::Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    slave_ = ::ptsname(master_);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
    closeMaster();
}

void Pty::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd wait{master_, POLLOUT, 0};
                ::poll(&wait, 1, 100);
                continue;
            }
            throw std::runtime_error("write to the pseudo-terminal failed");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string Pty::read() {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

void Pty::closeMaster() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void bindPort(const std::string& configHome, int port, const std::string& device) {
    const std::filesystem::path folder = std::filesystem::path(configHome) / "kelmor-csv";
    std::filesystem::create_directories(folder);
    const auto link = folder / ("com" + std::to_string(port));
    std::error_code ec;
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(device, link);
}

} // namespace kelmor::test

namespace kelmor::test {

void guardPorts(const std::string& configHome) {
    for (int port = 1; port <= 15; ++port)
        bindPort(configHome, port, configHome + "/unplugged-com" + std::to_string(port));
}

void unplug(Pty& pty, const std::string& configHome, int port) {
    bindPort(configHome, port, configHome + "/unplugged-com" + std::to_string(port));
    pty.closeMaster();
}

} // namespace kelmor::test
