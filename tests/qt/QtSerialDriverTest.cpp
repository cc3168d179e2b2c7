// The QSerialPort driver against real pseudo-terminals.
#include "QtSerialDriver.h"
#include "support/Pty.h"
#include "support/QtSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;
using namespace std::string_literals;

namespace {

app::PortDevice device(const std::string& path) {
    app::PortDevice found;
    found.path = path;
    return found;
}

// The descriptor this process holds on a device, or -1.
int fdOpenOn(const std::string& device) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) == device)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}

class QtSerialDriverTest : public testing::Test, public app::DriverEvents {
protected:
    void arrived() override {
        ++arrivals;
        received += driver.read();
    }
    void lost(const std::string& reason, std::string bytes) override {
        losses.push_back(reason);
        received += bytes;
    }
    void writeFailed(const std::string& reason) override { losses.push_back(reason); }

    std::optional<std::string> open() {
        return driver.open(device(pty.slavePath()), app::Line19200N81);
    }

    Pty pty;
    int arrivals = 0;
    std::string received;
    std::vector<std::string> losses;
    qt::QtSerialDriver driver{*this};
};

TEST_F(QtSerialDriverTest, TheLineSettingsReachTheDevice) {
    ASSERT_EQ(open(), std::nullopt) << "DTR a pseudo-terminal cannot raise is no error";
    termios line{};
    ASSERT_EQ(::tcgetattr(Pty::masterFd(pty), &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), B19200);
    EXPECT_EQ(::cfgetispeed(&line), B19200);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u)
        << "no parity, 1 stop bit, no RTS/CTS";
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u) << "no XON/XOFF";
    spinFor(50);
    EXPECT_TRUE(losses.empty());
}

TEST_F(QtSerialDriverTest, RawBytesArriveAndOutputLeaves) {
    ASSERT_EQ(open(), std::nullopt);
    const std::string bytes = "\2A\0\xff\x80\r\n\x1c\x03"s;
    pty.write(bytes);
    ASSERT_TRUE(spinUntil([&] { return received.size() >= bytes.size(); }));
    EXPECT_EQ(received, bytes);
    EXPECT_GE(arrivals, 1);
    driver.write("\x06");
    std::string got;
    ASSERT_TRUE(spinUntil([&] { return !(got += pty.read()).empty(); }));
    EXPECT_EQ(got, "\x06");
}

TEST_F(QtSerialDriverTest, CloseHandsOverWhatTheSystemHasReceived) {
    ASSERT_EQ(open(), std::nullopt);
    pty.write("\2HALF");
    // In the kernel's queue, not yet seen by the event loop: the driver's own
    // descriptor is readable.
    const int held = fdOpenOn(pty.slavePath());
    ASSERT_GE(held, 0);
    pollfd queued{held, POLLIN, 0};
    ASSERT_EQ(::poll(&queued, 1, 5000), 1);
    EXPECT_EQ(driver.close(), "\2HALF");
    EXPECT_EQ(arrivals, 0) << "no event from inside close()";
}

TEST_F(QtSerialDriverTest, LostDeviceClosesOnceWithoutSpinning) {
    ASSERT_EQ(open(), std::nullopt);
    pty.write("\2HALF");
    ASSERT_TRUE(spinUntil([&] { return received.size() == 5; }));
    pty.closeMaster();
    ASSERT_TRUE(spinUntil([&] { return !driver.isOpen(); }));
    EXPECT_EQ(losses.size(), 1u);
    const int eventsAtClose = arrivals;
    driver.write("\x06"); // writing to a closed port is no error
    spinFor(300);
    EXPECT_EQ(arrivals, eventsAtClose);
    EXPECT_EQ(losses.size(), 1u);
}

TEST_F(QtSerialDriverTest, PortInUseNamesTheProgramHoldingIt) {
    ASSERT_EQ(open(), std::nullopt);
    qt::QtSerialDriver second(*this);
    const auto reason = second.open(device(pty.slavePath()), app::Line19200N81);
    ASSERT_TRUE(reason.has_value());
    EXPECT_NE(reason->find("in use by another program"), std::string::npos) << *reason;
    EXPECT_NE(reason->find("process " + std::to_string(::getpid())), std::string::npos) << *reason;
}

} // namespace
