// Store failures: nothing lost, nothing doubled, no ACK for a record that is
// not on disk.
#include "FakePort.h"
#include "capture/Capture.h"
#include "capture/CsvFormat.h"
#include "support/FaultInjection.h"
#include "support/ReferenceCsv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kelmor;
using namespace kelmor::test;

namespace {

struct Rig {
    TempDir dir;
    FakePort port;
    Capture capture;
    std::string base;

    explicit Rig(const std::string& name = "log") : base(dir / name) {}

    MaybeError event(const std::string& chunk) {
        port.incoming = chunk;
        return capture.onComm(port, base);
    }
};

TEST(StoreFailure, MissingFolderKeepsTheRecordUntilItCanBeStored) {
    Rig rig("missing/log");
    const auto err = rig.event("\x02"
                               "A\x1c"
                               "B\x03");
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->what, "Cannot open the capture file");
    EXPECT_EQ(err->subject, rig.base + ".txt");
    EXPECT_EQ(err->reason, "No such file or directory");
    EXPECT_EQ(rig.port.acks(), 0u);

    // Still failing: a second record joins the first, still unacknowledged.
    EXPECT_TRUE(rig.event("\x02"
                          "C\x03")
                    .has_value());
    EXPECT_EQ(rig.port.acks(), 0u);

    std::filesystem::create_directory(rig.dir / "missing");
    EXPECT_FALSE(rig.event("\x02"
                           "D")
                     .has_value());
    // Exactly the bytes the failed stores would have written, once each. The
    // CR that came from STX is still a CR: the text was not cleaned twice.
    EXPECT_EQ(readFile(rig.base + ".txt"), "\rA B \rC ");
    EXPECT_EQ(readFile(rig.base + ".csv"), referenceCsv("\rA B \rC "));
    EXPECT_EQ(rig.port.acks(), 1u);
    EXPECT_EQ(rig.capture.RxBuffer, "\x02"
                                    "D");
    EXPECT_TRUE(rig.capture.waiting().empty());

    rig.event("\x03");
    EXPECT_EQ(readFile(rig.base + ".txt"), "\rA B \rC \rD ");
    EXPECT_EQ(rig.port.acks(), 2u);
}

TEST(StoreFailure, QuietLineRetriesAboutOnceASecondAndSuppressesIdleAcks) {
    Rig rig("missing/log");
    rig.event("\x03");
    std::filesystem::create_directory(rig.dir / "missing");
    rig.capture.IdleTicks = 51; // an idle ACK would be due now
    int ticks = 0;
    while (rig.port.acks() == 0 && ticks < 100) {
        rig.capture.onTick(rig.port, rig.base);
        ++ticks;
    }
    EXPECT_EQ(ticks, Capture::RetryTicks);
    // The first tick owed an idle ACK but text was waiting, so none went out.
    EXPECT_EQ(rig.port.written, "\x06");
    EXPECT_EQ(readFile(rig.base + ".txt"), " ");
}

TEST(StoreFailure, PartialAppendIsTruncatedBack) {
    Rig rig;
    const std::string earlier(100, 'x');
    writeFile(rig.base + ".txt", earlier);
    const std::string record = "\x02" + std::string(50, 'y') + "\x03";
    {
        FileSizeLimit limit(110); // room for ten of the record's bytes
        const auto err = rig.event(record);
        ASSERT_TRUE(err.has_value());
        EXPECT_EQ(err->what, "Cannot write the capture file");
        EXPECT_EQ(err->reason, "File too large");
    }
    EXPECT_EQ(readFile(rig.base + ".txt"), earlier);
    EXPECT_EQ(rig.port.acks(), 0u);

    EXPECT_FALSE(rig.event("").has_value());
    const std::string expected = earlier + "\r" + std::string(50, 'y') + " ";
    EXPECT_EQ(readFile(rig.base + ".txt"), expected);
    EXPECT_EQ(readFile(rig.base + ".csv"), referenceCsv(expected));
    EXPECT_EQ(rig.port.acks(), 1u);
}

TEST(StoreFailure, FailedFirstWriteLeavesNoEmptyFile) {
    Rig rig;
    {
        FileSizeLimit limit(0);
        EXPECT_TRUE(rig.event("\x02"
                              "A\x03")
                        .has_value());
    }
    EXPECT_FALSE(exists(rig.base + ".txt"));
    EXPECT_FALSE(rig.event("").has_value());
    EXPECT_EQ(readFile(rig.base + ".txt"), "\rA ");
}

TEST(StoreFailure, CsvFailureStillStoresAndAcknowledges) {
    Rig rig;
    std::filesystem::create_directory(rig.base + ".csv");
    const auto err = rig.event("\x02"
                               "A\x03");
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->what, "Cannot write the CSV file");
    EXPECT_EQ(err->subject, rig.base + ".csv");
    EXPECT_EQ(readFile(rig.base + ".txt"), "\rA ");
    EXPECT_EQ(rig.port.acks(), 1u);
    EXPECT_TRUE(rig.capture.waiting().empty());

    std::filesystem::remove(rig.base + ".csv");
    EXPECT_FALSE(rig.event("\x02"
                           "B\x03")
                     .has_value());
    EXPECT_EQ(readFile(rig.base + ".csv"), referenceCsv("\rA \rB "));
    EXPECT_EQ(rig.port.acks(), 2u);
}

TEST(StoreFailure, ReadOnlyFolderIsReportedNotFatal) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    Rig rig("ro/log");
    std::filesystem::create_directory(rig.dir / "ro");
    std::filesystem::permissions(rig.dir / "ro", std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
    const auto err = rig.event("\x03");
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->reason, "Permission denied");
    EXPECT_EQ(rig.port.acks(), 0u);
}

} // namespace
