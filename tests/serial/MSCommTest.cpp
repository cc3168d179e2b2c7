#include "serial/MSComm.h"
#include "serial/PortOpening.h"
#include "support/Pty.h"
#include "support/QtSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using namespace kelmor;
using namespace kelmor::test;
using namespace std::string_literals;

namespace {

// An MSComm bound as Comm 3 to a fresh pseudo-terminal whose master the test
// holds.
class MSCommTest : public testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        bindPort(config.path(), 3, pty.slavePath());
        QObject::connect(&comm, &MSComm::OnComm, [this] {
            ++events;
            received += comm.input();
            if (auto err = comm.takeError())
                errors.push_back(*err);
        });
    }

    TempDir config;
    Pty pty;
    MSComm comm;
    int events = 0;
    std::string received;
    std::vector<Error> errors;
};

TEST_F(MSCommTest, OpensWithTheLineSettingsDespiteMissingModemLines) {
    EXPECT_FALSE(reopenPort(comm, 3).has_value());
    EXPECT_TRUE(comm.PortOpen());
    EXPECT_EQ(comm.CommPort(), 3);
    EXPECT_EQ(comm.Settings(), "19200,N,8,1");
    EXPECT_EQ(comm.deviceName().toStdString(), pty.slavePath());
    spinFor(50);
    EXPECT_TRUE(errors.empty()) << errors.front().text();
}

TEST_F(MSCommTest, RawBytesArriveThroughOnComm) {
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    const std::string bytes = "\x02"
                              "A\0\xff\x80\r\n\x1c\x03"s;
    pty.write(bytes);
    ASSERT_TRUE(spinUntil([&] { return received.size() >= bytes.size(); }));
    EXPECT_EQ(received, bytes);
    EXPECT_GE(events, 1);
}

TEST_F(MSCommTest, OutputReachesTheDevice) {
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    comm.output("\x06");
    std::string got;
    ASSERT_TRUE(spinUntil([&] { return !(got += pty.read()).empty(); }));
    EXPECT_EQ(got, "\x06");
}

TEST_F(MSCommTest, LostDeviceClosesThePortWithoutSpinning) {
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    pty.write("\x02"
              "HALF");
    ASSERT_TRUE(spinUntil([&] { return received.size() == 5; }));
    unplug(pty, config.path(), 3);
    ASSERT_TRUE(spinUntil([&] { return !comm.PortOpen(); }));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].what, "Lost the connection to port");
    const int eventsAtClose = events;
    spinFor(300);
    // A port left open on a vanished device raises events without end.
    EXPECT_EQ(events, eventsAtClose);
    EXPECT_EQ(received, "\x02"
                        "HALF");
    // Writing to a closed port is no error.
    comm.output("\x06");
}

TEST_F(MSCommTest, LostPortIsWonBackWhenTheDeviceReturns) {
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    unplug(pty, config.path(), 3);
    ASSERT_TRUE(spinUntil([&] { return !comm.PortOpen(); }));
    EXPECT_TRUE(comm.reconnecting());
    // Still away after a try: no new report, still trying.
    spinFor(MSComm::ReconnectIntervalMs + 200);
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_EQ(errors.size(), 1u);

    Pty replugged;
    bindPort(config.path(), 3, replugged.slavePath());
    ASSERT_TRUE(spinUntil([&] { return comm.PortOpen(); }, 3 * MSComm::ReconnectIntervalMs));
    EXPECT_FALSE(comm.reconnecting());
    replugged.write("\x03");
    EXPECT_TRUE(spinUntil([&] { return received == "\x03"; }));
    EXPECT_EQ(errors.size(), 1u);
}

TEST_F(MSCommTest, ClosingOnPurposeStopsReconnecting) {
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    unplug(pty, config.path(), 3);
    ASSERT_TRUE(spinUntil([&] { return comm.reconnecting(); }));
    comm.setPortOpen(false);
    EXPECT_FALSE(comm.reconnecting());
}

TEST_F(MSCommTest, DanglingLinkIsReportedByName) {
    bindPort(config.path(), 5, config / "gone");
    const auto err = reopenPort(comm, 5);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->what, "Cannot open port");
    EXPECT_NE(err->reason.find("kelmor-csv/com5"), std::string::npos) << err->text();
    EXPECT_FALSE(comm.PortOpen());
}

TEST_F(MSCommTest, ClosingTakesWhatTheSystemHasReceivedAlready) {
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    spinFor(20);
    pty.write("\x02"
              "HALF");
    ::usleep(50 * 1000); // in the kernel's queue, not yet seen by the event loop
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    EXPECT_TRUE(spinUntil(
        [&] {
            return received == "\x02"
                               "HALF";
        },
        1000))
        << received;
}

TEST_F(MSCommTest, ReopenClosesFirst) {
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    ASSERT_FALSE(reopenPort(comm, 3).has_value());
    EXPECT_TRUE(comm.PortOpen());
    pty.write("\x03");
    EXPECT_TRUE(spinUntil([&] { return received == "\x03"; }));
}

} // namespace
