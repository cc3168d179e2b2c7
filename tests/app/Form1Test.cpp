// Form1's behaviour through its handlers, with every face part faked: no
// toolkit, no real port.
#include "AppRig.h"
#include "support/ReferenceCsv.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;

namespace {

TEST(Geometry, CentringUsesRealDivisionInTwips) {
    EXPECT_EQ(app::centredOrigin({100, 100}, {100, 100}), (app::TwipsPoint{0, 0}));
    EXPECT_EQ(app::twipsToPixels(4320), 288);
    EXPECT_EQ(app::twipsToPixels(1305), 87);
}

TEST(Form1Handlers, LoadCentresTheWindowAndFillsThePortList) {
    AppRig rig;
    ASSERT_TRUE(rig.movedTo.has_value());
    EXPECT_EQ(*rig.movedTo, (app::TwipsPoint{5475, 4852.5}));
    ASSERT_EQ(rig.items.size(), 15u);
    EXPECT_EQ(rig.items.front(), "Comm 1");
    EXPECT_EQ(rig.items.back(), "Comm 15");
    EXPECT_EQ(rig.text, "Comm 3");
    EXPECT_EQ(rig.timerPeriod, 0) << "the timer waits for Save As";
    EXPECT_TRUE(rig.windowShown);
}

TEST(Form1Handlers, SaveAsOpensThePortWithTheLineSettingsAndStores) {
    AppRig rig;
    FakeDevice& device = rig.bind(3);
    rig.saveAs(rig.out / "log");
    EXPECT_EQ(rig.timerPeriod, 100);
    EXPECT_EQ(device.settings, app::Line19200N81);
    EXPECT_EQ(device.settings.baud, 19200);
    EXPECT_EQ(device.settings.dataBits, 8);
    rig.send(3, "\2A\34B\x03");
    EXPECT_EQ(readFile(rig.out / "log.txt"), "\rA B ");
    EXPECT_EQ(readFile(rig.out / "log.csv"), referenceCsv("\rA B "));
    EXPECT_EQ(device.written, "\x06");
    EXPECT_TRUE(rig.shown.empty());
}

TEST(Form1Handlers, CancelledDialogStillStartsTheIdleAcks) {
    AppRig rig;
    FakeDevice& device = rig.bind(3);
    rig.saveAs(std::nullopt);
    EXPECT_EQ(rig.form->fileName(), "");
    rig.ticks(51);
    EXPECT_EQ(device.written, "");
    rig.ticks(1);
    EXPECT_EQ(device.written, "\x06");
}

// Bytes the driver holds when the port closes for a reopen: a half record
// waits for its end, a whole one is stored at once, before any idle ACK.
TEST(Form1Handlers, ReopenKeepsWhatTheDriverHoldsAndStoresWholeRecordsAtOnce) {
    AppRig rig;
    rig.bind(3);
    rig.saveAs(rig.out / "first");
    rig.sendQuietly(3, "\2HA"); // received, not yet announced: a close would drop it
    rig.sendAsItCloses(3, "LF");
    rig.saveAs(rig.out / "second");
    rig.send(3, "\x03");
    EXPECT_EQ(readFile(rig.out / "second.txt"), "\rHALF ");

    rig.sendQuietly(3, "\2WHOLE\x03");
    rig.saveAs(rig.out / "second");
    EXPECT_EQ(readFile(rig.out / "second.txt"), "\rHALF \rWHOLE ") << "stored without waiting";
    EXPECT_EQ(rig.acks(3), 2u);
}

TEST(Form1Handlers, FailedSwitchToAnotherPortKeepsCapturingOnTheRunningOne) {
    for (const char* why : {"unplugged", "held by another program"}) {
        SCOPED_TRACE(why);
        AppRig rig;
        rig.bind(3);
        FakeDevice& five = rig.bind(5);
        if (std::string(why) == "unplugged")
            rig.unplug(5);
        else
            five.refuse = "the port is in use by another program (process 42)";
        rig.saveAs(rig.out / "first");
        rig.text = "Comm 5";
        rig.saveAs(rig.out / "second");

        ASSERT_EQ(rig.shown.size(), 1u);
        EXPECT_NE(rig.shown[0].find("Cannot open port \"Comm 5"), std::string::npos);
        EXPECT_NE(rig.shown[0].find("capture goes on on Comm 3"), std::string::npos)
            << rig.shown[0];
        EXPECT_TRUE(rig.form->comm().PortOpen());
        EXPECT_EQ(rig.form->comm().CommPort(), 3);
        rig.send(3, "\2X\x03");
        EXPECT_EQ(rig.acks(3), 1u);
        EXPECT_EQ(readFile(rig.out / "second.txt"), "\rX ") << "the new name applies";
    }
}

TEST(Form1Handlers, SwitchToAnotherPortMovesCaptureAndKeepsTheHalfRecord) {
    AppRig rig;
    rig.bind(3);
    rig.bind(5);
    rig.saveAs(rig.out / "log");
    rig.sendQuietly(3, "\2HA");
    rig.text = "Comm 5";
    rig.saveAs(rig.out / "log");
    EXPECT_EQ(rig.form->comm().CommPort(), 5);
    rig.send(5, "LF\x03");
    EXPECT_EQ(readFile(rig.out / "log.txt"), "\rHALF ");
    EXPECT_EQ(rig.acks(5), 1u);
    rig.send(3, "\x03");
    EXPECT_EQ(rig.acks(3), 0u) << "the old port is closed";
}

TEST(Form1Handlers, LostPortIsReportedOnceAndTriedEverySecondUntilBack) {
    AppRig rig;
    rig.bind(3);
    rig.saveAs(rig.out / "log");
    rig.send(3, "\2HA");
    rig.unplug(3);
    ASSERT_EQ(rig.shown.size(), 1u);
    EXPECT_EQ(rig.shown[0].rfind("Lost the connection to port \"Comm 3", 0), 0u) << rig.shown[0];
    EXPECT_FALSE(rig.form->comm().PortOpen());

    FakeDevice& back = rig.bind(3);
    const int opensBefore = back.opens;
    rig.ticks(app::MSComm::ReconnectTicks - 1);
    EXPECT_FALSE(rig.form->comm().PortOpen()) << "not before a second has passed";
    rig.ticks(1);
    EXPECT_TRUE(rig.form->comm().PortOpen());
    EXPECT_EQ(back.opens, opensBefore + 1);
    rig.send(3, "LF\x03");
    EXPECT_EQ(readFile(rig.out / "log.txt"), "\rHALF ");
    EXPECT_EQ(rig.shown.size(), 1u);
}

TEST(Form1Handlers, ReconnectTriesStayAtOneASecond) {
    AppRig rig;
    rig.bind(3);
    rig.saveAs(rig.out / "log");
    rig.unplug(3);
    FakeDevice& away = rig.bind(3);
    away.refuse = "No such device";
    const int opensBefore = away.opens;
    rig.ticks(600);
    EXPECT_NEAR(away.opens - opensBefore, 600 / app::MSComm::ReconnectTicks, 1);
    EXPECT_EQ(rig.shown.size(), 1u) << "failures while away are not reported again";
}

TEST(Form1Handlers, FailedReopenOfTheSamePortIsTreatedAsLost) {
    AppRig rig;
    FakeDevice& device = rig.bind(3);
    rig.saveAs(rig.out / "log");
    device.refuse = "Device or resource busy";
    rig.saveAs(rig.out / "log");
    ASSERT_EQ(rig.shown.size(), 1u);
    EXPECT_EQ(rig.shown[0].rfind("Lost the connection to port \"Comm 3", 0), 0u) << rig.shown[0];
    EXPECT_TRUE(rig.form->comm().reconnecting());
    device.refuse.reset();
    rig.ticks(app::MSComm::ReconnectTicks);
    EXPECT_TRUE(rig.form->comm().PortOpen());
}

TEST(Form1Handlers, SaveAsEndsReconnectingAndOpensTheChosenPort) {
    AppRig rig;
    rig.bind(3);
    FakeDevice& seven = rig.bind(7);
    rig.saveAs(rig.out / "log");
    rig.unplug(3);
    rig.text = "Comm 7";
    rig.saveAs(rig.out / "log");
    EXPECT_FALSE(rig.form->comm().reconnecting());
    EXPECT_EQ(rig.form->comm().CommPort(), 7);
    EXPECT_EQ(seven.opens, 1);
}

// After a loss, a switch to a port that fails leaves the lost one being won
// back: one port is always captured from or retried, and the box says which.
TEST(Form1Handlers, AFailedSwitchAfterALossKeepsWinningTheLostPortBack) {
    AppRig rig;
    rig.bind(3);
    rig.bind(5);
    rig.unplug(5); // its link points to no device
    rig.saveAs(rig.out / "log");
    rig.unplug(3);
    rig.text = "Comm 5";
    rig.saveAs(rig.out / "log");
    rig.dismiss();
    ASSERT_EQ(rig.shown.size(), 2u);
    EXPECT_EQ(rig.shown[1].rfind("Cannot open port \"Comm 5", 0), 0u) << rig.shown[1];
    EXPECT_NE(rig.shown[1].find("still trying Comm 3 every second"), std::string::npos);
    rig.bind(3);
    rig.bind(5);
    rig.ticks(app::MSComm::ReconnectTicks);
    EXPECT_TRUE(rig.form->comm().PortOpen());
    EXPECT_EQ(rig.form->comm().CommPort(), 3);
}

#ifndef _WIN32
TEST(Form1Handlers, TwoNamesForTheRunningAdapterAreSaidToBeOne) {
    AppRig rig;
    rig.bind(3);
    rig.saveAs(rig.out / "log");
    std::filesystem::create_symlink(rig.device(3).path, rig.config / "kelmor-csv/com5");
    rig.text = "Comm 5";
    rig.saveAs(rig.out / "log");
    ASSERT_EQ(rig.shown.size(), 1u);
    EXPECT_NE(rig.shown[0].find("the device this window is already capturing from"),
              std::string::npos)
        << rig.shown[0];
    EXPECT_EQ(rig.form->comm().CommPort(), 3);
}
#endif

// A store that fails at every retry was seen once; it shows again only
// after a store has worked.
TEST(Form1Handlers, AnErrorSeenOnceReturnsOnlyAfterSomethingWorked) {
    AppRig rig;
    rig.bind(3);
    rig.saveAs(rig.out / "missing/log");
    rig.send(3, "\2A\x03");
    ASSERT_EQ(rig.shown.size(), 1u);
    rig.dismiss();
    rig.ticks(5 * Capture::RetryTicks);
    EXPECT_EQ(rig.shown.size(), 1u) << "the retries fail the same way";
    std::filesystem::create_directory(rig.out / "missing");
    rig.ticks(Capture::RetryTicks);
    EXPECT_EQ(rig.acks(3), 1u);
    std::filesystem::remove_all(rig.out / "missing");
    rig.send(3, "\2B\x03");
    EXPECT_EQ(rig.shown.size(), 2u) << "news again after a store worked";
}

TEST(Form1Handlers, BadPortTextIsReportedAndCaptureGoesOn) {
    AppRig rig;
    rig.bind(3);
    rig.saveAs(rig.out / "log");
    const int opens = rig.device(3).opens;
    rig.text = "COM4";
    rig.saveAs(rig.out / "log");
    ASSERT_EQ(rig.shown.size(), 1u);
    EXPECT_EQ(rig.shown[0].rfind("Type mismatch \"COM4\"", 0), 0u);
    EXPECT_TRUE(rig.form->errors().waiting().empty()) << "no second error behind it";
    EXPECT_TRUE(rig.form->comm().PortOpen());
    EXPECT_EQ(rig.form->comm().CommPort(), 3);
    EXPECT_EQ(rig.device(3).opens, opens) << "the running port is left alone";
}

TEST(Form1Handlers, StartCaptureFromTheCommandLineRetriesAPortThatIsNotThereYet) {
    AppRig rig;
    rig.form->startCapture(rig.out / "log", app::MissingPort::RetryEverySecond);
    EXPECT_EQ(rig.timerPeriod, 100);
    ASSERT_EQ(rig.shown.size(), 1u);
    EXPECT_NE(rig.shown[0].find("trying again every second"), std::string::npos);
    rig.bind(3);
    rig.ticks(app::MSComm::ReconnectTicks);
    ASSERT_TRUE(rig.form->comm().PortOpen());
    rig.send(3, "\2A\x03");
    EXPECT_EQ(readFile(rig.out / "log.txt"), "\rA ");
}

} // namespace

TEST(Form1Stop, AStopFinishesTheCsvRewriteOrLeavesTheCsvFileAsItWas) {
    std::string before;
    for (int i = 0; i < 100000; ++i)
        before += "\r" + std::to_string(10000000 + i) + " 12.5 g OK ";
    for (const bool inTime : {true, false}) {
        SCOPED_TRACE(inTime ? "in time" : "out of time");
        AppRig rig;
        writeFile(rig.out / "log.txt", before);
        writeFile(rig.out / "log.csv", referenceCsv(before));
        rig.bind(3);
        rig.saveAs(rig.out / "log");
        rig.send(3, "\2last\x03"); // the run's first store renders the CSV file anew
        ASSERT_TRUE(rig.form->capture().csvPending());
        int slices = 0;
        rig.form->endCapture(inTime ? app::Form1::StopLimit : std::chrono::seconds(0),
                             [&] { ++slices; });
        const std::string after = before + "\rlast ";
        EXPECT_EQ(readFile(rig.out / "log.txt"), after);
        if (inTime) {
            EXPECT_EQ(readFile(rig.out / "log.csv"), referenceCsv(after));
            EXPECT_GE(slices, 1);
            EXPECT_TRUE(rig.shown.empty());
        } else {
            EXPECT_EQ(readFile(rig.out / "log.csv"), referenceCsv(before));
            ASSERT_EQ(rig.shown.size(), 1u);
            EXPECT_NE(rig.shown[0].find("the next start completes it"), std::string::npos);
        }
    }
}

TEST(Form1Clock, ACsvFileThatFailedIsTriedAgainAMinuteLaterOnTheFacesClock) {
    AppRig rig;
    rig.bind(3);
    std::filesystem::create_directory(rig.out / "log.csv"); // a folder where the CSV file goes
    rig.saveAs(rig.out / "log");
    rig.send(3, "\2A\x03");
    ASSERT_EQ(rig.shown.size(), 1u);
    rig.dismiss();
    rig.send(3, "\2B\x03");
    EXPECT_EQ(rig.shown.size(), 1u) << "not at every record";
    std::filesystem::remove(rig.out / "log.csv");
    rig.send(3, "\2C\x03");
    EXPECT_FALSE(exists(rig.out / "log.csv")) << "not tried again before the minute is up";
    rig.now += std::chrono::seconds(61);
    rig.send(3, "\2D\x03");
    EXPECT_EQ(readFile(rig.out / "log.csv"), referenceCsv("\rA \rB \rC \rD "));
    EXPECT_EQ(rig.acks(3), 4u);
}
