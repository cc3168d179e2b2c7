#include "capture/CsvFormat.h"
#include "support/ReferenceCsv.h"

#include <gtest/gtest.h>

#include <random>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;

namespace {

TEST(Naming, SuffixesAreAddedUnlessAlreadyThere) {
    struct Case {
        const char* base;
        const char* csv;
        const char* txt;
    };
    for (const Case c :
         {Case{"", ".csv", ".txt"}, Case{"log", "log.csv", "log.txt"},
          Case{"log.csv", "log.csv", "log.csv.txt"}, Case{"log.txt", "log.txt.csv", "log.txt"},
          Case{"log.CSV", "log.CSV.csv", "log.CSV.txt"}, Case{"/d/.csv", "/d/.csv", "/d/.csv.txt"},
          Case{"csv", "csv.csv", "csv.txt"}}) {
        const FileNames names = deriveNames(c.base);
        EXPECT_EQ(names.CsvName, c.csv) << c.base;
        EXPECT_EQ(names.TxtName, c.txt) << c.base;
    }
}

std::string render(std::string_view capture) {
    std::string csv;
    CsvRenderer r;
    r.feed(capture, csv);
    r.finish(csv);
    return csv;
}

TEST(CsvFormat, LinesAreQuotedAsTheyAre) {
    struct Case {
        std::string capture;
        std::string csv;
    };
    const Case cases[] = {
        {"", ""},
        {"\rA B \rC ", "\"\"\r\n\"A B \"\r\n\"C \"\r\n"},
        {"A\r\nB", "\"A\"\r\n\"B\"\r\n"},
        {"A\r", "\"A\"\r\n"},
        {"x\"y", "\"x\"y\"\r\n"},
        {"\r", "\"\"\r\n"},
        {"\r\r", "\"\"\r\n\"\"\r\n"},
        {"A\n\rB", "\"A\n\"\r\n\"B\"\r\n"}, // a lone LF is no line end
        {"a,b\r\n\r\n", "\"a,b\"\r\n\"\"\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(render(c.capture), c.csv);
        EXPECT_EQ(referenceCsv(c.capture), c.csv);
    }
}

TEST(CsvFormat, AnySplitIntoBlocksGivesTheReference) {
    std::mt19937 rng(7);
    const std::string alphabet = "\r\n\"A ,";
    for (int round = 0; round < 2000; ++round) {
        std::string capture(rng() % 40, ' ');
        for (char& ch : capture)
            ch = alphabet[rng() % alphabet.size()];
        std::string csv;
        CsvRenderer r;
        for (std::size_t pos = 0; pos < capture.size();) {
            const std::size_t len = std::min<std::size_t>(1 + rng() % 6, capture.size() - pos);
            r.feed(std::string_view(capture).substr(pos, len), csv);
            pos += len;
        }
        r.finish(csv);
        ASSERT_EQ(csv, referenceCsv(capture)) << testing::PrintToString(capture);
    }
}

} // namespace
