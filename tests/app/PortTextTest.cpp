#include "app/PortText.h"
#include "app/PortNaming.h"
#ifndef _WIN32
#include "support/Pty.h"
#endif
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::app;
using namespace kelmor::test;

namespace {

TEST(PortText, LastTwoCharactersNameThePort) {
    struct Case {
        const char* text;
        int port;          // when valid
        const char* error; // otherwise
    };
    const char* Mismatch = "Type mismatch";
    const char* Invalid = "Invalid port number";
    for (const Case c :
         {Case{"Comm 3", 3, nullptr},   Case{"Comm 1", 1, nullptr},  Case{"Comm 12", 12, nullptr},
          Case{"Comm 15", 15, nullptr}, Case{"7", 7, nullptr},       Case{"12", 12, nullptr},
          Case{"Comm 4 ", 4, nullptr},  Case{" 9", 9, nullptr},      Case{"+5", 5, nullptr},
          Case{"Comm+5", 5, nullptr},   Case{"COM4", 0, Mismatch},   Case{"", 0, Mismatch},
          Case{" ", 0, Mismatch},       Case{"Comm", 0, Mismatch},   Case{"Comm x", 0, Mismatch},
          Case{"Comm 1.", 0, Mismatch}, Case{"5+", 0, Mismatch},     Case{"+", 0, Mismatch},
          Case{"-1", 0, Invalid},       Case{"Comm -1", 0, Invalid}, Case{"Comm 0", 0, Invalid}}) {
        const PortNumber result = portFromText(c.text);
        if (c.error != nullptr) {
            ASSERT_TRUE(result.error.has_value()) << '"' << c.text << '"';
            EXPECT_EQ(result.error->what, c.error) << '"' << c.text << '"';
            EXPECT_EQ(result.error->subject, c.text);
        } else {
            EXPECT_FALSE(result.error.has_value()) << '"' << c.text << '"';
            EXPECT_EQ(result.port, c.port) << '"' << c.text << '"';
        }
    }
}

#ifdef _WIN32
TEST(PortNaming, CommNIsTheWindowsDevice) {
    EXPECT_EQ(deviceForPort(3).path, "\\\\.\\COM3");
    EXPECT_EQ(deviceForPort(12).path, "\\\\.\\COM12");
}
#else
class PortNamingTest : public testing::Test {
protected:
    TempDir config_;
    ScopedEnv configHome_{"XDG_CONFIG_HOME", config_.path()};
};

TEST_F(PortNamingTest, LinkWinsOverTheStandardDevice) {
    Pty pty;
    bindPort(config_.path(), 3, pty.slavePath());
    const PortDevice three = deviceForPort(3);
    EXPECT_EQ(three.path, pty.slavePath());
    EXPECT_EQ(three.link, config_ / "kelmor-csv/com3");
    EXPECT_FALSE(three.dangling);
    EXPECT_NE(describePort(3).find(pty.slavePath()), std::string::npos);

    // Without a link, Comm N is the N-th standard serial device (named, never opened here).
    EXPECT_EQ(deviceForPort(1).path, "/dev/ttyS0");
    EXPECT_EQ(deviceForPort(12).path, "/dev/ttyS11");
    EXPECT_TRUE(deviceForPort(12).link.empty());
}

TEST_F(PortNamingTest, DanglingLinkCountsAndNeverFallsBack) {
    bindPort(config_.path(), 4, config_ / "no-such-device");
    const PortDevice four = deviceForPort(4);
    EXPECT_TRUE(four.dangling);
    EXPECT_EQ(four.path, config_ / "kelmor-csv/com4");
    EXPECT_NE(describePort(4).find("points nowhere"), std::string::npos);
}

#endif

} // namespace
