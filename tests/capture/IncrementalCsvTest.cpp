// The CSV file is continued from its last line rather than rewritten, yet
// after every store it must be exactly the rendering of the whole capture
// file, whatever happened to either file in between.
#include "capture/CaptureFiles.h"
#include "support/FileFaults.h"
#include "support/ReferenceCsv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;

namespace {

struct Files {
    TempDir dir;
    CaptureFiles files;
    std::string base = dir / "log";
    std::string txt = base + ".txt";
    std::string csv = base + ".csv";

    void store(std::string_view text) {
        const StoreResult r = files.store(text, base);
        ASSERT_TRUE(r.stored()) << r.storeError->text();
        ASSERT_FALSE(r.csvError.has_value()) << r.csvError->text();
        ASSERT_EQ(readFile(csv), referenceCsv(readFile(txt)))
            << "after storing " << testing::PrintToString(text);
    }
};

// Another program edits a file where it stands; file times are coarse, so the
// edit is dated a second later, as any edit by hand would be.
void editInPlace(const std::string& path, std::size_t at, char ch) {
    const auto when = std::filesystem::last_write_time(path);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.put(ch);
    f.close();
    std::filesystem::last_write_time(path, when + std::chrono::seconds(1));
}

// Capture text of line ends, quotes, commas and spaces, from least to most long.
struct RandomText {
    explicit RandomText(unsigned seed) : rng(seed) {}
    std::string operator()(std::size_t least, std::size_t most) {
        static const std::string alphabet = "\r\n\"A ,";
        std::string s(least + rng() % (most - least + 1), ' ');
        for (char& ch : s)
            ch = alphabet[rng() % alphabet.size()];
        return s;
    }
    std::mt19937 rng;
};

TEST(IncrementalCsv, LinesGrowAcrossStores) {
    Files f;
    for (const char* text : {"\rA", "B", "\r", "\n", "C\r\n", "\r\r", "x\"y", ""})
        f.store(text);
    EXPECT_TRUE(f.files.tracking(f.base));
}

TEST(IncrementalCsv, CrLfSplitAcrossStoresIsOneLineEnd) {
    Files f;
    f.store("A\r");
    f.store("\nB");
    EXPECT_EQ(readFile(f.csv), "\"A\"\r\n\"B\"\r\n");
}

TEST(IncrementalCsv, ChangesBehindTheProgramsBackForceAWholeRewrite) {
    struct Case {
        const char* name;
        std::function<void(Files&)> change;
    };
    const Case cases[] = {
        {"capture truncated", [](Files& f) { std::filesystem::resize_file(f.txt, 3); }},
        {"capture replaced",
         [](Files& f) {
             writeFile(f.base + ".new", "other\r\nlines\r");
             std::filesystem::rename(f.base + ".new", f.txt);
         }},
        {"capture deleted", [](Files& f) { std::filesystem::remove(f.txt); }},
        {"capture replaced by one of the same size and time",
         [](Files& f) {
             const auto size = std::filesystem::file_size(f.txt);
             writeFile(f.base + ".new", std::string(static_cast<std::size_t>(size), 'Q'));
             std::filesystem::last_write_time(f.base + ".new",
                                              std::filesystem::last_write_time(f.txt));
             std::filesystem::rename(f.base + ".new", f.txt);
         }},
        {"capture edited in place", [](Files& f) { editInPlace(f.txt, 1, '\r'); }},
        {"csv deleted", [](Files& f) { std::filesystem::remove(f.csv); }},
        {"csv truncated", [](Files& f) { std::filesystem::resize_file(f.csv, 5); }},
        {"csv appended to",
         [](Files& f) { std::ofstream(f.csv, std::ios::app | std::ios::binary) << "junk"; }},
        {"csv edited in place", [](Files& f) { editInPlace(f.csv, 0, 'X'); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Files f;
        f.store("\rfirst line");
        f.store(" more\rsecond");
        c.change(f);
        f.store(" end\r");
    }
}

TEST(IncrementalCsv, NewNameStartsAFreshCsv) {
    Files f;
    f.store("\rA");
    const std::string other = f.dir / "other";
    ASSERT_TRUE(f.files.store("\rB", other).stored());
    EXPECT_EQ(readFile(other + ".csv"), "\"\"\r\n\"B\"\r\n");
    f.store("C"); // back to the first name: its files are continued correctly
    EXPECT_EQ(readFile(f.csv), "\"\"\r\n\"AC\"\r\n");
}

TEST(IncrementalCsv, RandomStoresAndInterferenceMatchTheReference) {
    RandomText random(12072026);
    auto& rng = random.rng;
    auto randomText = [&](std::size_t max) { return random(0, max); };
    int continued = 0;
    for (int round = 0; round < 40; ++round) {
        Files f;
        for (int step = 0; step < 30; ++step) {
            const bool exists = std::filesystem::exists(f.txt);
            switch (rng() % 16) {
            case 0:
                if (exists)
                    std::filesystem::resize_file(f.txt,
                                                 rng() % (std::filesystem::file_size(f.txt) + 1));
                break;
            case 1:
                writeFile(f.txt, randomText(20));
                break;
            case 2:
                std::filesystem::remove(f.txt);
                break;
            case 3:
                std::filesystem::remove(f.csv);
                break;
            case 4:
                if (std::filesystem::exists(f.csv))
                    std::ofstream(f.csv, std::ios::app | std::ios::binary) << randomText(5);
                break;
            case 5:
                if (std::filesystem::exists(f.csv) && std::filesystem::file_size(f.csv) > 0)
                    editInPlace(f.csv, rng() % std::filesystem::file_size(f.csv), 'Z');
                break;
            default:
                continued += f.files.tracking(f.base) ? 1 : 0;
                break;
            }
            f.store(randomText(12));
            if (testing::Test::HasFatalFailure())
                return;
        }
    }
    // The incremental path was the one mostly taken.
    EXPECT_GT(continued, 500);
}

TEST(IncrementalCsv, ContinuingALineNeverReadsTheCaptureFile) {
    Files f;
    f.store("\rfirst");
    FileFaults faults;
    faults.fail(FileOp::Read, {"reading is not allowed here", ".txt"});
    // One ever longer line, as from a device that never sends STX.
    for (int i = 0; i < 50; ++i)
        f.store(std::string(1000, 'x'));
    f.store("\rnext\r\n");
    EXPECT_EQ(faults.count(FileOp::Read), 0u);
}

std::string partialOf(const Files& f) {
    return f.dir / ".log.csv.kelmor-partial";
}

// The rewrite's partial file: a leftover of a killed run never reaches the
// CSV file, and one given up goes.
TEST(IncrementalCsv, PartialFilesNeitherLeakNorLinger) {
    Files f;
    writeFile(partialOf(f), std::string(5000, 'J'));
    f.store("\rA"); // the first store of a run rewrites the CSV file whole
    EXPECT_FALSE(exists(partialOf(f)));

    TempDir dir;
    CaptureFiles files(1);
    writeFile(dir / "a.txt", std::string(1000, 'x'));
    ASSERT_TRUE(files.store("y", dir / "a", {}, {}).stored());
    ASSERT_TRUE(files.csvPending());
    ASSERT_TRUE(exists(dir / ".a.csv.kelmor-partial"));
    ASSERT_TRUE(files.store("z", dir / "b", {}, {}).stored()); // "Save As" another name
    EXPECT_FALSE(exists(dir / ".a.csv.kelmor-partial"));
}

// Where no partial file can be made, filled or put in place, the CSV file
// itself is brought up to date.
TEST(IncrementalCsv, WithoutRoomForAPartialFileTheCsvIsRewrittenInPlace) {
    struct Case {
        const char* name;
        FileOp op;
        FileFaults::Fault fault;
    };
    const Case cases[] = {
        {"read-only folder", FileOp::Open, {"Read-only file system", ".kelmor-partial"}},
        {"no room for a second copy",
         FileOp::Write,
         {"No space left on device", ".kelmor-partial", 3}},
        {"the CSV file cannot be replaced", FileOp::Rename, {"Permission denied", ".csv"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Files f;
        writeFile(f.csv, std::string(300, 'o')); // an old, longer CSV file
        writeFile(f.txt, "\rfirst\rsecond");
        FileFaults faults;
        faults.fail(c.op, c.fault);
        f.store("\rthird");
        EXPECT_FALSE(exists(partialOf(f)));
        faults.heal();
        f.store("\rfourth"); // and is continued from there
    }
}

#ifndef _WIN32
// Whatever has the partial file's name, or takes it meanwhile, no file but
// the CSV file is written.
TEST(IncrementalCsv, ThePartialFileNeverWritesThroughItsName) {
    struct Case {
        const char* name;
        bool meanwhile; // put there between two slices, else before the rewrite
        std::function<void(const std::string& partial, const std::string& user)> put;
    };
    const Case cases[] = {
        {"a link", false,
         [](const std::string& p, const std::string& u) { std::filesystem::create_symlink(u, p); }},
        {"a hard link", false,
         [](const std::string& p, const std::string& u) {
             std::filesystem::create_hard_link(u, p);
         }},
        {"a link put in its place meanwhile", true,
         [](const std::string& p, const std::string& u) {
             std::filesystem::remove(p);
             std::filesystem::create_symlink(u, p);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Files f;
        const std::string user = f.dir / "thesis.txt";
        writeFile(user, "my thesis");
        writeFile(f.txt, std::string(50, 'x'));
        CaptureFiles files(4);
        if (!c.meanwhile)
            c.put(partialOf(f), user);
        ASSERT_TRUE(files.store("\rA", f.base, {}, {}).stored());
        if (c.meanwhile) {
            ASSERT_TRUE(files.csvPending());
            c.put(partialOf(f), user);
        }
        while (files.csvPending())
            ASSERT_FALSE(files.csvSlice({}));
        EXPECT_EQ(readFile(user), "my thesis");
        EXPECT_FALSE(std::filesystem::is_symlink(f.csv));
        EXPECT_EQ(readFile(f.csv), referenceCsv(readFile(f.txt)));
    }
}
#endif

// Another program rewrites the capture file in place while a rewrite reads
// it: what was rendered is a mix of both, and must not count as done.
TEST(IncrementalCsv, CaptureChangedWhileTheRewriteReadsItIsRenderedAgain) {
    Files f;
    CaptureFiles files(4);
    writeFile(f.txt, "\rfirst line\rsecond line\r");
    FileFaults faults;
    faults.meanwhile(FileOp::Read, ".txt", 3, [&] {
        std::ofstream(f.txt, std::ios::binary | std::ios::trunc)
            << "\rsomething else, and longer than before\r";
    });
    ASSERT_TRUE(files.store("tail", f.base).stored()); // the whole rewrite in one slice
    EXPECT_GE(faults.count(FileOp::Read, ".txt"), 3u);
    EXPECT_FALSE(files.csvPending());
    EXPECT_EQ(readFile(f.csv), referenceCsv(readFile(f.txt)));
}

#ifndef _WIN32
// The rewritten CSV file takes the old one's place as the user set it up:
// a link still leads to the same file, which keeps its permissions.
TEST(IncrementalCsv, RewriteReplacesTheFileALinkLeadsToAndKeepsItsMode) {
    Files f;
    const std::string real = f.dir / "real.csv";
    writeFile(real, "old");
    ::chmod(real.c_str(), 0600);
    std::filesystem::create_symlink(real, f.csv);
    f.store("\rA");
    EXPECT_TRUE(std::filesystem::is_symlink(f.csv));
    EXPECT_EQ(std::filesystem::read_symlink(f.csv), real);
    EXPECT_EQ(readFile(real), referenceCsv("\rA"));
    EXPECT_EQ(std::filesystem::status(real).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
#endif

// Rewrites a few bytes a slice, interrupted at random by stores, by a switch
// to another name and back, and by other programs: whenever no rewrite is
// pending the CSV file is the rendering of the capture file, and a name left
// mid-rewrite keeps its CSV file exactly as it was.
TEST(IncrementalCsv, SlicedRewritesInterruptedAnyhowEndAtTheReference) {
    RandomText random(20261213);
    auto& rng = random.rng;
    auto randomText = [&](std::size_t max) { return random(1, max); };
    int slicedRewrites = 0;
    for (int round = 0; round < 30; ++round) {
        TempDir dir;
        CaptureFiles files(1 + rng() % 8);
        const std::string names[2] = {dir / "a", dir / "b"};
        int current = 0;
        const auto txt = [&](int n) { return names[n] + ".txt"; };
        const auto csv = [&](int n) { return names[n] + ".csv"; };
        bool changedSinceStore = false; // by another program: the next store notices
        const auto settled = [&](int n) {
            if (!files.csvPending() && !changedSinceStore && exists(txt(n))) {
                ASSERT_EQ(readFile(csv(n)), referenceCsv(readFile(txt(n)))) << "round " << round;
            }
        };
        for (int step = 0; step < 40; ++step) {
            switch (rng() % 8) {
            case 0: { // "Save As" to the other name, then a record to it
                const int old = current;
                const std::string before = readFile(csv(old));
                current = 1 - current;
                ASSERT_TRUE(files.store(randomText(6), names[current], {}, {}).stored());
                EXPECT_EQ(readFile(csv(old)), before) << "the old CSV file was changed";
                changedSinceStore = false;
                break;
            }
            case 1: // another program appends to the capture file
                if (exists(txt(current)))
                    std::ofstream(txt(current), std::ios::app | std::ios::binary) << randomText(4);
                changedSinceStore = true;
                break;
            case 2: // or replaces it
                writeFile(txt(current) + ".new", randomText(20));
                std::filesystem::rename(txt(current) + ".new", txt(current));
                changedSinceStore = true;
                break;
            case 3:
            case 4: // slices between events
                for (int k = rng() % 4; k >= 0; --k)
                    ASSERT_FALSE(files.csvSlice({}));
                break;
            default: { // a record, with no time for the CSV beyond one block
                ASSERT_TRUE(files.store(randomText(10), names[current], {}, {}).stored());
                slicedRewrites += files.csvPending() ? 1 : 0;
                changedSinceStore = false;
                break;
            }
            }
            settled(current);
            if (testing::Test::HasFatalFailure())
                return;
        }
        while (files.csvPending())
            ASSERT_FALSE(files.csvSlice({}));
        settled(current);
    }
    EXPECT_GT(slicedRewrites, 100) << "rewrites should span many slices here";
}

} // namespace
