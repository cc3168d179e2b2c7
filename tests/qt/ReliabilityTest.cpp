// Faults from outside the program: full disks, vanished folders and devices,
// files changed behind its back, floods. Nothing acknowledged may be lost,
// and the window must live on.
#include "WindowFixture.h"
#include "support/FaultInjection.h"
#include "support/FileFaults.h"
#include "support/ProcStatus.h"
#include "support/ReferenceCsv.h"

#include <QElapsedTimer>

#include <atomic>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <thread>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;

namespace {

using Reliability = WindowFixture;

TEST_F(Reliability, FullDiskLosesNothingAndAcknowledgesNothingUntilStored) {
    saveAs(out / "log");
    ASSERT_TRUE(sendRecord("\2FIRST\x03"));
    const std::string before = readFile(out / "log.txt");
    {
        FileSizeLimit full(before.size() + 3); // the next record fits only part-way
        pty.write("\2SECOND\x03");
        ASSERT_TRUE(spinUntil([&] { return !errorText().isEmpty(); }));
        spinFor(300);
        EXPECT_TRUE(errorText().startsWith(QStringLiteral("Cannot write the capture file")))
            << errorText().toStdString();
        EXPECT_EQ(readFile(out / "log.txt"), before);
        EXPECT_EQ(pty.read(), "");
    }
    ASSERT_TRUE(sendRecord("\2THIRD\x03"));
    EXPECT_EQ(readFile(out / "log.txt"), "\rFIRST \rSECOND \rTHIRD ");
    EXPECT_EQ(readFile(out / "log.csv"), referenceCsv("\rFIRST \rSECOND \rTHIRD "));
    spinFor(100);
    EXPECT_EQ(pty.read(), "") << "one ACK per store";
}

TEST_F(Reliability, RemovedFolderIsWaitedForAndTheRecordStoredOnceBack) {
    std::filesystem::create_directory(out / "day");
    saveAs(out / "day/log");
    ASSERT_TRUE(sendRecord("\2A\x03"));
    std::filesystem::rename(out / "day", out / "away");
    pty.write("\2B\x03");
    ASSERT_TRUE(spinUntil([&] { return !errorText().isEmpty(); }));
    EXPECT_TRUE(errorText().contains(QString::fromStdString(out / "day/log.txt")));
    EXPECT_EQ(pty.read(), "");

    // Back again: the quiet line's retry stores it without a new record.
    std::filesystem::rename(out / "away", out / "day");
    ASSERT_TRUE(awaitAck(pty, acks, 5000));
    EXPECT_EQ(readFile(out / "day/log.txt"), "\rA \rB ");
    EXPECT_EQ(readFile(out / "day/log.csv"), referenceCsv("\rA \rB "));
}

TEST_F(Reliability, BlockedCsvPathStillStoresAndAcknowledges) {
    std::filesystem::create_directory(out / "log.csv");
    saveAs(out / "log");
    ASSERT_TRUE(sendRecord("\2A\x03"));
    EXPECT_EQ(readFile(out / "log.txt"), "\rA ");
    ASSERT_TRUE(spinUntil([&] { return !errorText().isEmpty(); }));
    EXPECT_TRUE(errorText().startsWith(QStringLiteral("Cannot write the CSV file")));

    std::filesystem::remove(out / "log.csv");
    ASSERT_TRUE(sendRecord("\2B\x03"));
    window.errorBox()->button(QMessageBox::Ok)->click();
    saveAs(out / "log"); // tried again at once, not only a minute later
    ASSERT_TRUE(sendRecord("\2C\x03"));
    EXPECT_EQ(readFile(out / "log.csv"), referenceCsv("\rA \rB \rC "));
}

TEST_F(Reliability, UnplugMidRecordThenReplugResumesByItself) {
    saveAs(out / "log");
    pty.write("\2HA");
    ASSERT_TRUE(spinUntil([&] { return form().capture().rxBuffer() == "\2HA"; }));
    unplug(pty, config.path(), 3);
    ASSERT_TRUE(spinUntil([&] { return !form().comm().PortOpen(); }));
    EXPECT_TRUE(errorText().startsWith(QStringLiteral("Lost the connection to port")));

    // Unplugged: the program waits, it does not spin.
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    spinFor(2000);
    const double cpuShare = (cpuSeconds() - cpuBefore) / (wall.elapsed() / 1000.0);
    RecordProperty("cpu_share_while_unplugged", std::to_string(cpuShare));
    EXPECT_LT(cpuShare, 0.2);

    Pty replugged;
    bindPort(config.path(), 3, replugged.slavePath());
    ASSERT_TRUE(spinUntil([&] { return form().comm().PortOpen(); }, 5000));
    replugged.write("LF\x03");
    std::string got;
    ASSERT_TRUE(awaitAck(replugged, got));
    EXPECT_EQ(readFile(out / "log.txt"), "\rHALF ");
}

TEST_F(Reliability, FloodWithoutEtxKeepsTheWindowResponsive) {
    saveAs(out / "log");
    constexpr std::size_t Total = 100u << 20;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread device([&] {
        const std::string chunk(64 * 1024, 'x');
        try {
            for (std::size_t sent = 0; sent < Total && !stop; sent += chunk.size())
                pty.write(chunk);
        } catch (const std::exception&) {
            // The port is closed for a moment by the reopen; the flood goes on.
        }
        done = true;
    });
    const bool flooding =
        spinUntil([&] { return form().capture().rxBuffer().size() > (8u << 20); }, 20000);

    // A click in the middle of the flood still opens the dialog.
    QElapsedTimer clock;
    qint64 openedAfterMs = -1;
    if (flooding) {
        QTimer::singleShot(0, [&] {
            clock.start();
            whenDialogOpens([&] { openedAfterMs = clock.elapsed(); }, "");
            window.findChild<QPushButton*>(QStringLiteral("cmdGetData"))->click();
        });
        spinUntil([&] { return openedAfterMs >= 0; }, 20000);
    }
    const bool sent = spinUntil([&] { return done.load(); }, 60000);
    stop = true;
    device.join();
    ASSERT_TRUE(flooding);
    ASSERT_GE(openedAfterMs, 0) << "the dialog did not open during the flood";
    ASSERT_TRUE(sent);
    RecordProperty("dialog_open_ms_during_flood", std::to_string(openedAfterMs));

    // Let the last of it arrive. (Bytes sent in the instant the reopen has the
    // port closed never reach the program: that is the line, not the store.)
    std::size_t received = 0;
    do {
        received = form().capture().rxBuffer().size();
    } while (spinUntil([&] { return form().capture().rxBuffer().size() != received; }, 300));
    EXPECT_GT(received, Total * 9 / 10);
    RecordProperty("peak_rss_kib_after_100mib_flood", std::to_string(peakRssKiB()));

    // Still one record waiting for its ETX, and still capturing: all of it is stored.
    EXPECT_FALSE(std::filesystem::exists(out / "log.txt"));
    pty.write("\x03");
    ASSERT_TRUE(awaitAck(pty, acks, 20000));
    EXPECT_EQ(std::filesystem::file_size(out / "log.txt"), received + 1);
}

TEST_F(Reliability, AckDoesNotWaitForAWholeCsvRewrite) {
    // A long capture history and a fresh start: the CSV file is rendered anew.
    std::string history;
    while (history.size() < (64u << 20))
        history += "\r2026-12-07 10:00:00 ID000042 12.5 g OK ";
    writeFile(out / "log.txt", history);
    saveAs(out / "log");
    // When the rewrite first reads the capture file, the ACK is on the line;
    // and the event loop turns while the rewrite goes on.
    int turnsMidRewrite = 0;
    QTimer turning;
    QObject::connect(&turning, &QTimer::timeout,
                     [&] { turnsMidRewrite += form().capture().csvPending() ? 1 : 0; });
    turning.start(1);
    std::optional<bool> ackFirst;
    FileFaults files;
    files.meanwhile(FileOp::Read, ".txt", 1, [&] {
        pollfd line{Pty::masterFd(pty), POLLIN, 0};
        ackFirst = ::poll(&line, 1, 5000) == 1;
    });
    pty.write("\2NEW\x03");
    ASSERT_TRUE(spinUntil([&] { return ackFirst && !form().capture().csvPending(); }, 60000));
    EXPECT_TRUE(*ackFirst) << "the ACK waited for the rewrite";
    EXPECT_GT(turnsMidRewrite, 0) << "the rewrite held up the event loop";
    ASSERT_TRUE(awaitAck(pty, acks));
    const std::string capture = history + "\rNEW ";
    EXPECT_EQ(readFile(out / "log.txt"), capture);
    EXPECT_TRUE(readFile(out / "log.csv") == referenceCsv(capture));
}

} // namespace
