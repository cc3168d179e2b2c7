#include "serial/PortText.h"
#include "serial/LineSettings.h"
#include "serial/PortNaming.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kelmor;
using namespace kelmor::test;

namespace {

TEST(PortText, LastTwoCharactersNameThePort) {
    struct Case {
        const char* text;
        int port; // 0: a type mismatch
    };
    for (const Case c :
         {Case{"Comm 3", 3}, Case{"Comm 1", 1}, Case{"Comm 12", 12}, Case{"Comm 15", 15},
          Case{"7", 7}, Case{"12", 12}, Case{"Comm 4 ", 4}, Case{" 9", 9}, Case{"COM4", 0},
          Case{"", 0}, Case{" ", 0}, Case{"Comm", 0}, Case{"Comm x", 0}, Case{"Comm -1", 0},
          Case{"Comm+5", 0}, Case{"Comm 1.", 0}}) {
        const PortNumber result = portFromText(c.text);
        if (c.port == 0) {
            ASSERT_TRUE(result.error.has_value()) << '"' << c.text << '"';
            EXPECT_EQ(result.error->what, "Type mismatch");
            EXPECT_EQ(result.error->subject, c.text);
        } else {
            EXPECT_FALSE(result.error.has_value()) << '"' << c.text << '"';
            EXPECT_EQ(result.port, c.port) << '"' << c.text << '"';
        }
    }
}

TEST(PortText, PortZeroIsRefused) {
    const PortNumber result = portFromText("Comm 0");
    ASSERT_TRUE(result.error.has_value());
    EXPECT_EQ(result.error->what, "Invalid port number");
}

TEST(LineSettings, ParsesTheFourFields) {
    const ParsedSettings ok = parseSettings("19200,N,8,1");
    ASSERT_FALSE(ok.error.has_value());
    EXPECT_EQ(ok.settings, (LineSettings{19200, 'N', 8, 1}));
    EXPECT_EQ(formatSettings(ok.settings), "19200,N,8,1");
    EXPECT_EQ(parseSettings("9600,e,7,2").settings, (LineSettings{9600, 'E', 7, 2}));
    EXPECT_EQ(formatSettings(parseSettings("300,O,5,1.5").settings), "300,O,5,1.5");
    for (const char* bad : {"", "19200", "19200,N,8", "x,N,8,1", "19200,Q,8,1", "19200,N,9,1",
                            "19200,N,8,3", "19200,N,8,1,1", "-5,N,8,1"})
        EXPECT_TRUE(parseSettings(bad).error.has_value()) << bad;
}

class PortNamingTest : public testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_CONFIG_HOME");
        saved_ = old ? old : "";
        hadOld_ = old != nullptr;
        ::setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    }
    void TearDown() override {
        if (hadOld_)
            ::setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }
    TempDir config_;
    std::string saved_;
    bool hadOld_ = false;
};

TEST_F(PortNamingTest, LinkWinsOverTheStandardDevice) {
    Pty pty;
    bindPort(config_.path(), 3, pty.slavePath());
    const PortDevice three = deviceForPort(3);
    EXPECT_EQ(three.path.toStdString(), pty.slavePath());
    EXPECT_EQ(three.link.toStdString(), config_ / "kelmor-csv/com3");
    EXPECT_FALSE(three.dangling);
    EXPECT_NE(describePort(3).indexOf(QString::fromStdString(pty.slavePath())), -1);

    // Without a link, Comm N is the N-th standard serial device (named, never opened here).
    EXPECT_EQ(deviceForPort(1).path.toStdString(), "/dev/ttyS0");
    EXPECT_EQ(deviceForPort(12).path.toStdString(), "/dev/ttyS11");
    EXPECT_TRUE(deviceForPort(12).link.isEmpty());
}

TEST_F(PortNamingTest, DanglingLinkCountsAndNeverFallsBack) {
    bindPort(config_.path(), 4, config_ / "no-such-device");
    const PortDevice four = deviceForPort(4);
    EXPECT_TRUE(four.dangling);
    EXPECT_EQ(four.path.toStdString(), config_ / "kelmor-csv/com4");
    EXPECT_NE(describePort(4).indexOf(QStringLiteral("points nowhere")), -1);
}

} // namespace
