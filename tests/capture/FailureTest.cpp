// Store failures: nothing lost, nothing doubled, no ACK for a record that is
// not on disk.
#include "capture/CaptureFiles.h"
#include "support/CaptureRig.h"
#include "support/FileFaults.h"
#include "support/ReferenceCsv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;

namespace {

using Rig = CaptureRig;

TEST(StoreFailure, MissingFolderKeepsTheRecordUntilItCanBeStored) {
    Rig rig("missing/log");
    const auto err = rig.event("\2A\34B\x03");
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->what, "Cannot open the capture file");
    EXPECT_EQ(err->subject, rig.base + ".txt");
    EXPECT_FALSE(err->reason.empty()) << "the system's reason";
    EXPECT_EQ(rig.port.acks(), 0u);

    // Still failing: a second record joins the first, still unacknowledged.
    EXPECT_TRUE(rig.event("\2C\x03").has_value());
    EXPECT_EQ(rig.port.acks(), 0u);

    std::filesystem::create_directory(rig.dir / "missing");
    EXPECT_FALSE(rig.event("\2D").has_value());
    // Exactly the bytes the failed stores would have written, once each. The
    // CR that came from STX is still a CR: the text was not cleaned twice.
    EXPECT_EQ(rig.txt(), "\rA B \rC ");
    EXPECT_EQ(rig.csv(), referenceCsv("\rA B \rC "));
    EXPECT_EQ(rig.port.acks(), 1u);
    EXPECT_EQ(rig.capture.rxBuffer(), "\2D");
    EXPECT_TRUE(rig.capture.waiting().empty());

    ASSERT_FALSE(rig.event("\x03"));
    EXPECT_EQ(rig.txt(), "\rA B \rC \rD ");
    EXPECT_EQ(rig.port.acks(), 2u);
}

TEST(StoreFailure, QuietLineRetriesAboutOnceASecondAndSuppressesIdleAcks) {
    Rig rig;
    FileFaults files;
    files.fail(FileOp::Open, {"Permission denied", ".txt"});
    (void)rig.event("\x03");
    // Two minutes of ticks while the file stays refused: one try a second,
    // and no idle ACK while the record waits.
    for (int i = 0; i < 1200; ++i)
        (void)rig.tick();
    EXPECT_NEAR(static_cast<double>(files.count(FileOp::Open, ".txt")),
                1 + 1200 / Capture::RetryTicks, 2);
    EXPECT_EQ(rig.port.written, "");

    files.heal();
    int ticks = 0;
    while (rig.port.acks() == 0 && ticks < 100) {
        (void)rig.tick();
        ++ticks;
    }
    EXPECT_LE(ticks, Capture::RetryTicks);
    EXPECT_EQ(rig.port.written, "\x06");
    EXPECT_EQ(rig.txt(), " ");
}

// Each way a capture append can fail at the disk: reported, no ACK, the file
// as it was, and the retry stores the record exactly once.
TEST(StoreFailure, FailedAppendsAreUndoneAndRetriedOnce) {
    struct Case {
        const char* name;
        FileOp op;
        FileFaults::Fault fault;
        const char* what;
        bool newFile; // the capture file did not exist before
    };
    const Case cases[] = {
        {"open refused",
         FileOp::Open,
         {"Permission denied", ".txt"},
         "Cannot open the capture file",
         false},
        {"disk full part-way",
         FileOp::Write,
         {"No space left on device", ".txt", 10},
         "Cannot write the capture file",
         false},
        {"disk full on a new file",
         FileOp::Write,
         {"No space left on device", ".txt", 3},
         "Cannot write the capture file",
         true},
        {"sync fails",
         FileOp::Sync,
         {"Input/output error", ".txt"},
         "Cannot save the capture file to disk",
         false},
        {"folder sync fails",
         FileOp::SyncFolder,
         {"Input/output error", ""},
         "Cannot save the capture file to disk",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        const std::string earlier(100, 'x');
        if (!c.newFile)
            writeFile(rig.base + ".txt", earlier);
        const std::string before = c.newFile ? "" : earlier;
        {
            FileFaults files;
            files.fail(c.op, c.fault);
            const auto err = rig.event("\x02" + std::string(50, 'y') + "\x03");
            ASSERT_TRUE(err.has_value());
            EXPECT_EQ(err->what, c.what);
            EXPECT_EQ(err->reason, c.fault.reason);
        }
        EXPECT_EQ(rig.port.acks(), 0u);
        EXPECT_EQ(exists(rig.base + ".txt"), !c.newFile) << "a new file is removed again";
        EXPECT_EQ(rig.txt(), before);

        ASSERT_FALSE(rig.event(""));
        const std::string expected = before + "\r" + std::string(50, 'y') + " ";
        EXPECT_EQ(rig.txt(), expected);
        EXPECT_EQ(rig.csv(), referenceCsv(expected));
        EXPECT_EQ(rig.port.acks(), 1u);
    }
}

TEST(StoreFailure, AckRightAfterTheCaptureFileIsSynced) {
    Rig rig;
    FileFaults files;
    // The port notes how many syncs of the capture file had happened when
    // each ACK went out, and whether the CSV file had been touched since.
    std::vector<std::size_t> syncsAtAck;
    rig.port.onOutput = [&] {
        syncsAtAck.push_back(files.count(FileOp::Sync, ".txt"));
        const FileFaults::Call& last = files.calls().back();
        EXPECT_TRUE(last.path.ends_with(".txt") &&
                    (last.op == FileOp::Sync || last.op == FileOp::SyncFolder))
            << "the ACK waits for nothing but the capture file";
    };
    for (int i = 1; i <= 3; ++i)
        ASSERT_FALSE(rig.event("\2R\x03"));
    EXPECT_EQ(syncsAtAck, (std::vector<std::size_t>{1, 2, 3}));
}

// A failed append that cannot be undone leaves part or all of the record
// behind: the retries write only what is missing.
TEST(StoreFailure, TornAppendThatCannotBeUndoneIsCompletedNotRepeated) {
    struct Case {
        const char* name;
        std::string before; // the capture file, if it exists
        FileOp op;
        FileFaults::Fault fault;
        FileOp undo; // how the leftover would go, refused
    };
    const Case cases[] = {
        {"part lands and the file cannot be cut back (append-only)",
         "old ",
         FileOp::Write,
         {"No space left on device", ".txt", 7},
         FileOp::Truncate},
        {"all of it lands, the sync fails and the file cannot be cut back",
         "old ",
         FileOp::Sync,
         {"Input/output error", ".txt"},
         FileOp::Truncate},
        {"part lands in a new file that cannot be removed",
         "",
         FileOp::Write,
         {"No space left on device", ".txt", 3},
         FileOp::Remove},
    };
    const std::string record = "\x02"
                               "0123456789ABCDEF\x03";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        if (!c.before.empty())
            writeFile(rig.base + ".txt", c.before);
        {
            FileFaults files;
            files.fail(c.op, c.fault);
            files.fail(c.undo, {"Operation not permitted", ".txt"});
            const auto err = rig.event(record);
            ASSERT_TRUE(err.has_value());
            EXPECT_NE(err->reason.find("could not be"), std::string::npos) << err->text();
            // Again, while the fault lasts: still nothing doubled.
            EXPECT_TRUE(rig.event("").has_value());
        }
        EXPECT_EQ(rig.port.acks(), 0u);
        ASSERT_FALSE(rig.event(""));
        EXPECT_EQ(rig.txt(), c.before + "\r0123456789ABCDEF ");
        EXPECT_EQ(rig.csv(), referenceCsv(rig.txt()));
        EXPECT_EQ(rig.port.acks(), 1u);
    }
}

TEST(StoreFailure, CsvFailureStillStoresAndAcknowledges) {
    Rig rig;
    std::filesystem::create_directory(rig.base + ".csv");
    const auto err = rig.event("\2A\x03");
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->what, "Cannot write the CSV file");
    EXPECT_EQ(err->subject, rig.base + ".csv");
    EXPECT_EQ(rig.txt(), "\rA ");
    EXPECT_EQ(rig.port.acks(), 1u);
    EXPECT_TRUE(rig.capture.waiting().empty());

    std::filesystem::remove(rig.base + ".csv");
    EXPECT_FALSE(rig.event("\2B\x03").has_value()) << "said once";
    EXPECT_EQ(rig.port.acks(), 2u);
    rig.capture.retryCsvSoon(); // "Save As"
    EXPECT_FALSE(rig.event("\2C\x03").has_value());
    EXPECT_EQ(rig.csv(), referenceCsv("\rA \rB \rC "));
}

// A CSV file that stays behind costs no rewrite per record: it is said
// once, and tried again a minute later.
TEST(StoreFailure, CsvThatCannotBeWrittenIsTriedAgainOnASlowSchedule) {
    TempDir dir;
    CaptureFiles::Clock::time_point now{};
    CaptureFiles files(CaptureFiles::BlockSize, [&] { return now; });
    const std::string base = dir / "log";
    FileFaults faults;
    faults.fail(FileOp::Open, {"Permission denied", ".kelmor-partial"});
    faults.fail(FileOp::Write, {"Permission denied", ".csv"});
    EXPECT_TRUE(files.store("\rA", base).csvError.has_value());
    const std::size_t reads = faults.count(FileOp::Read, ".txt");
    for (int i = 0; i < 5; ++i) {
        now += std::chrono::seconds(10);
        const StoreResult r = files.store("\rB", base);
        EXPECT_TRUE(r.stored());
        EXPECT_FALSE(r.csvError.has_value()) << "said once";
    }
    EXPECT_EQ(faults.count(FileOp::Read, ".txt"), reads) << "no rewrite within the minute";
    now += std::chrono::seconds(10);
    EXPECT_FALSE(files.store("\rC", base).csvError.has_value());
    EXPECT_GT(faults.count(FileOp::Read, ".txt"), reads) << "tried again after a minute";
    faults.heal();
    now += CaptureFiles::CsvRetryPeriod;
    EXPECT_FALSE(files.store("\rD", base).csvError.has_value());
    EXPECT_EQ(readFile(base + ".csv"), referenceCsv(readFile(base + ".txt")));
}

// Two programs on one name would cut each other's CSV file: the second is
// refused like any failed store, until the first lets go.
TEST(StoreFailure, ACaptureFileInUseByAnotherProgramIsRefused) {
    TempDir dir;
    const std::string base = dir / "log";
    auto first = std::make_unique<CaptureFiles>();
    CaptureFiles second;
    ASSERT_TRUE(first->store("\rA", base).stored());
    const StoreResult refused = second.store("\rB", base);
    ASSERT_FALSE(refused.stored());
    EXPECT_NE(refused.storeError->reason.find("being captured into by another program"),
              std::string::npos)
        << refused.storeError->text();
#ifdef __linux__
    EXPECT_NE(refused.storeError->reason.find("process " + std::to_string(::getpid())),
              std::string::npos);
#endif
    ASSERT_TRUE(first->store("\rC", base).stored()) << "the first goes on";
    first.reset();
    ASSERT_TRUE(second.store("\rB", base).stored()) << "free once the first has let go";
    EXPECT_EQ(readFile(base + ".txt"), "\rA\rC\rB");
    EXPECT_EQ(readFile(base + ".csv"), referenceCsv("\rA\rC\rB"));
}

TEST(StoreFailure, AFolderUnderTheNameIsSaidToBeOne) {
    Rig rig;
    std::filesystem::create_directory(rig.base + ".txt");
    const auto err = rig.event("\2A\x03");
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->reason, "Is a directory");
}

#ifndef _WIN32
// A FIFO under either name would block open() on the window's thread, and
// one with a reader, or a device, would swallow the records.
TEST(StoreFailure, NamesThatAreNotRegularFilesAreRefusedWithoutBlocking) {
    struct Kind {
        const char* name;
        // Makes it; returns a descriptor to hold meanwhile, -1 for none, -2 on failure.
        std::function<int(const std::string&)> make;
    };
    const Kind kinds[] = {
        {"FIFO", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0 ? -1 : -2; }},
        {"FIFO with a reader",
         [](const std::string& p) {
             return ::mkfifo(p.c_str(), 0600) == 0 ? ::open(p.c_str(), O_RDONLY | O_NONBLOCK) : -2;
         }},
        {"link to /dev/null",
         [](const std::string& p) { return ::symlink("/dev/null", p.c_str()) == 0 ? -1 : -2; }},
    };
    for (const Kind& kind : kinds) {
        for (const char* suffix : {".txt", ".csv"}) {
            SCOPED_TRACE(std::string(kind.name) + " as " + suffix);
            Rig rig;
            const int kept = kind.make(rig.base + suffix);
            ASSERT_NE(kept, -2);
            const auto err = rig.event("\2A\x03");
            if (kept >= 0)
                ::close(kept);
            ASSERT_TRUE(err.has_value());
            EXPECT_EQ(err->reason, "Not a regular file");
            const bool captureRefused = std::string(suffix) == ".txt";
            EXPECT_EQ(rig.port.acks(), captureRefused ? 0u : 1u);
            EXPECT_EQ(rig.capture.waiting().empty(), !captureRefused);
        }
    }
}

#endif

#ifdef _WIN32
// Excel holds a CSV file it has open against writing: like any CSV failure,
// the record is stored and acknowledged, and the next store rebuilds it.
TEST(StoreFailure, CsvHeldOpenByAnotherProgramIsRebuiltOnceFree) {
    Rig rig;
    ASSERT_FALSE(rig.event("\2A\x03"));
    const std::wstring csv(rig.base.begin(), rig.base.end());
    HANDLE held = ::CreateFileW((csv + L".csv").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto err = rig.event("\2B\x03");
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->what, "Cannot write the CSV file");
    EXPECT_EQ(rig.port.acks(), 2u);
    ::CloseHandle(held);
    ASSERT_FALSE(rig.event("\2C\x03"));
    EXPECT_EQ(rig.csv(), referenceCsv("\rA \rB \rC "));
}
#endif

} // namespace
