// The CSV file is continued from its last line rather than rewritten, yet
// after every store it must be exactly the rendering of the whole capture
// file, whatever happened to either file in between.
#include "capture/CaptureFiles.h"
#include "support/ReferenceCsv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sys/stat.h>

using namespace kelmor;
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
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.put(ch);
    f.close();
    struct stat st {};
    ::stat(path.c_str(), &st);
    const timespec times[2] = {st.st_atim, {st.st_mtim.tv_sec + 1, st.st_mtim.tv_nsec}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

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
             struct stat st {};
             ::stat(f.txt.c_str(), &st);
             const std::string other(static_cast<std::size_t>(st.st_size), 'Q');
             writeFile(f.base + ".new", other);
             const timespec times[2] = {st.st_atim, st.st_mtim};
             ::utimensat(AT_FDCWD, (f.base + ".new").c_str(), times, 0);
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
    std::mt19937 rng(12072026);
    const std::string alphabet = "\r\n\"A ,";
    auto randomText = [&](std::size_t max) {
        std::string s(rng() % (max + 1), ' ');
        for (char& ch : s)
            ch = alphabet[rng() % alphabet.size()];
        return s;
    };
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

} // namespace
