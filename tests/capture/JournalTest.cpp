// The journal beside the capture file: the times and separators of every
// store, the CSV file's formats drawn from it, its recovery from whatever
// happened to it or to the capture file, and the CSV file continued across
// a clean restart.
#include "capture/Capture.h"
#include "platform/File.h"
#include "support/FakePort.h"
#include "support/ReferenceCsv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;
namespace fs = std::filesystem;

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One run of the program over a folder that outlives it.
struct Session {
    FakePort port;
    Capture capture;
    std::string base;
    std::vector<std::string> notices;

    Session(const TempDir& dir, CsvOptions options, std::size_t blockSize = CaptureFiles::BlockSize)
        : capture(blockSize), base(dir / "log") {
        capture.setCsvOptions(options);
    }
    // One record a store, each its own communication event.
    void send(const std::string& bytes) {
        port.incoming = bytes;
        const MaybeError error = capture.onComm(port, base);
        ASSERT_FALSE(error) << error->text();
        for (const Error& e : capture.takeNotices())
            notices.push_back(e.text());
    }
    // A clean stop, with the rewrite (if any) finished first.
    void stop() {
        while (capture.csvPending())
            ASSERT_FALSE(capture.csvSlice(CaptureFiles::Unlimited));
        ASSERT_FALSE(capture.finish());
    }
};

struct Folder {
    TempDir dir;
    std::string txt = dir / "log.txt";
    std::string csv = dir / "log.csv";
    std::string journal = dir / ".log.txt.kelmor-times";

    // The time of each store, as the journal says, in the CSV file's format.
    std::vector<std::string> times() const {
        std::vector<std::string> out;
        std::istringstream lines(readFile(journal));
        std::string line;
        std::getline(lines, line); // the header
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string end, length;
            std::int64_t ms = 0;
            if (line.starts_with("c ") || !(words >> end >> length >> ms))
                continue;
            out.push_back(localTimeText(ms));
        }
        return out;
    }
    // The expected text with {1}, {2} ... as the times of those stores.
    std::string expand(std::string text) const {
        const auto stores = times();
        for (std::size_t i = 0; i < stores.size(); ++i) {
            const std::string key = "{" + std::to_string(i + 1) + "}";
            for (auto at = text.find(key); at != std::string::npos; at = text.find(key))
                text.replace(at, key.size(), stores[i]);
        }
        return text;
    }
};

constexpr CsvOptions Plain{};
constexpr CsvOptions Times{true, false};
constexpr CsvOptions Fields{false, true};
constexpr CsvOptions Both{true, true};

const std::vector<std::string> Records = {
    "\2S\x1c"
    "12.5\x1cg\x03",
    "\2say \"hi\"\x03",
    "\2\x1c\x03",
};

} // namespace

TEST(RecordFormat, EachOptionShapesTheCsvLinesAndTheCaptureFileIsTheSame) {
    const struct {
        const char* name;
        CsvOptions options;
        std::vector<std::string> records;
        std::string csv; // empty: the default rendering of the capture file
    } cases[] = {
        {"neither", Plain, Records, ""},
        {"fields", Fields, Records,
         "\"\"\r\n\"S\",\"12.5\",\"g\"\r\n\"say \"\"hi\"\"\"\r\n\"\",\"\"\r\n"},
        {"timestamps", Times, Records,
         "\"{1}\",\"\"\r\n\"{1}\",\"S 12.5 g \"\r\n\"{2}\",\"say \"\"hi\"\" \"\r\n\"{3}\",\"  "
         "\"\r\n"},
        {"both", Both, Records,
         "\"{1}\",\"\"\r\n\"{1}\",\"S\",\"12.5\",\"g\"\r\n\"{2}\",\"say \"\"hi\"\"\"\r\n"
         "\"{3}\",\"\",\"\"\r\n"},
        // A device without STX: one line across stores, split at every FS
        // and at an ETX that more of the line follows.
        {"continued line",
         Both,
         {"a\x1c"
          "b\x03",
          "c\x1c", "d\x03", "\x1c\x03"},
         "\"{1}\",\"a\",\"b\",\"c\",\"d\",\"\",\"\"\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Folder f;
        std::string sent;
        const std::int64_t before = nowMs();
        {
            Session run(f.dir, c.options);
            for (const std::string& record : c.records) {
                run.send(record);
                sent += record;
            }
            EXPECT_TRUE(run.notices.empty());
        }
        EXPECT_EQ(readFile(f.txt), referenceClean(sent));
        const std::string csv = readFile(f.csv);
        EXPECT_EQ(csv, c.csv.empty() ? referenceCsv(readFile(f.txt)) : f.expand(c.csv));
        for (const std::string& time : f.times()) {
            EXPECT_GE(time, localTimeText(before).substr(0, 19));
            EXPECT_LE(time, localTimeText(nowMs()));
        }

        // Rendered anew from the journal alone, the file reads the same.
        fs::remove(f.csv);
        Session again(f.dir, c.options);
        again.send("\2z\x03");
        EXPECT_EQ(readFile(f.csv).substr(0, csv.size()), csv);
    }
}

TEST(RecordFormat, ALaterRunWithOtherOptionsRendersEveryEarlierLineInTheNewForm) {
    Folder f;
    {
        Session plain(f.dir, Plain);
        plain.send(Records[0]);
    }
    {
        Session both(f.dir, Both);
        both.send("\2x\x1cy\x03");
        EXPECT_TRUE(both.notices.empty());
    }
    EXPECT_EQ(readFile(f.csv),
              f.expand("\"{1}\",\"\"\r\n\"{1}\",\"S\",\"12.5\",\"g\"\r\n\"{2}\",\"x\",\"y\"\r\n"));
    {
        Session plain(f.dir, Plain);
        plain.send("\2w\x03");
    }
    EXPECT_EQ(readFile(f.csv), referenceCsv(readFile(f.txt)));
}

TEST(StoreJournal, WhateverHappenedToItCaptureGoesOnAndLinesKeepOnlyTheTimesThatHold) {
    const auto append = [](const std::string& path, const std::string& bytes) {
        writeFile(path, readFile(path) + bytes);
    };
    const struct {
        const char* name;
        std::function<void(const Folder&)> between; // after two stores
        bool inRun;                                 // done while the program runs, not between runs
        bool earlierTimes;                          // the first two lines keep their times
        const char* said;                           // what the user hears, if anything
        bool old;                                   // the old journal is kept as .old
    } cases[] = {
        {"stores past the end", [&](const Folder& f) { append(f.journal, "99999 9 1\n"); }, false,
         true, nullptr, false},
        {"a torn last line", [&](const Folder& f) { append(f.journal, "99999 9"); }, false, true,
         nullptr, false},
        {"missing", [](const Folder& f) { fs::remove(f.journal); }, false, false,
         "The store journal is missing", false},
        {"damaged", [&](const Folder& f) { append(f.journal, "not a store\n"); }, false, false,
         "it was damaged", true},
        {"a folder",
         [](const Folder& f) {
             fs::remove(f.journal);
             fs::create_directory(f.journal);
         },
         false, false, "The store journal is missing", false},
#ifndef _WIN32
        {"a link",
         [](const Folder& f) {
             writeFile(f.dir / "elsewhere", "kept\n");
             fs::remove(f.journal);
             fs::create_symlink(f.dir / "elsewhere", f.journal);
         },
         false, false, "The store journal is missing", false},
#endif
        {"capture file replaced",
         [](const Folder& f) {
             fs::remove(f.txt);
             writeFile(f.txt, "\rA2 \rB ");
         },
         true, false, nullptr, true},
        {"capture file cut",
         [](const Folder& f) { fs::resize_file(f.txt, readFile(f.txt).find('\r', 1)); }, true, true,
         nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Folder f;
        std::optional<Session> run(std::in_place, f.dir, Times);
        run->send("\2A\x03");
        run->send("\2B\x03");
        if (!c.inRun)
            run.reset();
        c.between(f);
        if (!run)
            run.emplace(f.dir, Times);
        run->send("\2C\x03");
        const std::vector<std::string> said = run->notices;
        run.reset();

        if (c.said) {
            ASSERT_EQ(said.size(), 1u);
            EXPECT_NE(said[0].find(c.said), std::string::npos) << said[0];
        } else {
            EXPECT_TRUE(said.empty()) << said[0];
        }
        EXPECT_EQ(exists(f.journal + ".old"), c.old);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(f.journal)));
        EXPECT_TRUE(readFile(f.journal).starts_with("kelmor-times 1 "));
        if (exists(f.dir / "elsewhere")) {
            EXPECT_EQ(readFile(f.dir / "elsewhere"), "kept\n") << "written through a link";
        }

        // Every line is there; the first two with their times or with none,
        // the new one with its own.
        const std::string csv = readFile(f.csv);
        const std::vector<std::string> times = f.times();
        ASSERT_FALSE(times.empty());
        const std::string txt = readFile(f.txt);
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'),
                  std::count(txt.begin(), txt.end(), '\r') + 1);
        EXPECT_TRUE(csv.ends_with("\"" + times.back() + "\",\"C \"\r\n")) << csv;
        EXPECT_EQ(csv.starts_with("\"\",\"\"\r\n\"\",\"A"), !c.earlierTimes) << csv;
    }
}

TEST(StoreJournal, OneThatCannotBeMadeIsSaidOnceAndCaptureGoesOnWithoutTimes) {
    Folder f;
    fs::create_directories(f.journal + "/taken"); // a folder that cannot be removed
    Session run(f.dir, Both);
    for (const char* record : {"\2A\x1c"
                               "1\x03",
                               "\2B\x03", "\2C\x03"})
        run.send(record);
    ASSERT_EQ(run.notices.size(), 1u);
    EXPECT_NE(run.notices[0].find("Cannot make the store journal"), std::string::npos);
    EXPECT_EQ(readFile(f.txt), "\rA 1 \rB \rC ");
    EXPECT_EQ(readFile(f.csv), "\"\",\"\"\r\n\"\",\"A 1 \"\r\n\"\",\"B \"\r\n\"\",\"C \"\r\n");
}

TEST(CleanRestart, OnlyACleanStopWithBothFilesAsLeftAndTheSameOptionsSparesTheRewrite) {
    const struct {
        const char* name;
        bool cleanStop;
        std::function<void(const Folder&)> between;
        CsvOptions next;
        bool rewritten;
    } cases[] = {
        {"clean stop", true, {}, Plain, false},
        {"clean stop with both options", true, {}, Both, false},
        {"killed", false, {}, Plain, true},
        {"CSV file changed", true,
         [](const Folder& f) { writeFile(f.csv, readFile(f.csv) + "\"x\"\r\n"); }, Plain, true},
        {"capture file grew", true,
         [](const Folder& f) { writeFile(f.txt, readFile(f.txt) + "\rgrew "); }, Plain, true},
        {"other options", true, {}, Fields, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Folder f;
        const CsvOptions first =
            c.name == std::string("clean stop with both options") ? Both : Plain;
        {
            Session run(f.dir, first);
            for (int i = 0; i < 50; ++i)
                run.send("\2" + std::to_string(1000 + i) +
                         "\x1c"
                         "12.5 g\x03");
            if (c.cleanStop)
                run.stop();
        }
        if (c.between)
            c.between(f);
        const std::string csvBefore = readFile(f.csv);
        // A rewrite puts a new file in the CSV file's place; a continuation
        // writes on in the same one.
        const auto csvFile = platform::File::stampOf(f.csv);
        ASSERT_TRUE(csvFile);
        Session next(f.dir, c.next);
        next.send("\2next\x03");
        EXPECT_EQ(platform::File::stampOf(f.csv)->inode != csvFile->inode, c.rewritten);
        next.stop();
        if (c.next == Plain) {
            EXPECT_EQ(readFile(f.csv), referenceCsv(readFile(f.txt)));
        } else if (!c.rewritten) {
            EXPECT_EQ(readFile(f.csv).substr(0, csvBefore.size() - 3),
                      csvBefore.substr(0, csvBefore.size() - 3));
        }
    }
}
