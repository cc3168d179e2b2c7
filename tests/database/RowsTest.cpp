// What a row is: a line of the capture file as the CSV file shows it, or the
// piece of one that a store brought. No database needed.
#include "database/Rows.h"
#include "database/Writer.h"
#include "support/ReferenceCsv.h"

#include <gtest/gtest.h>

#include <random>

using namespace kelmor;
using namespace kelmor::database;

namespace {

TEST(Rows, LinesAndPiecesWithTheirOffsets) {
    struct Case {
        const char* name;
        std::string bytes;
        std::uint64_t start;
        bool pieceEnds;
        Before before;
        std::vector<Row> rows;
        std::uint64_t next;
        Before after;
    };
    const Case cases[] = {
        {"records",
         "\rA B \rC ",
         0,
         true,
         Before::LineStart,
         {{0, ""}, {1, "A B "}, {6, "C "}},
         8,
         Before::Piece},
        {"a CR ends the piece before",
         "\rX",
         8,
         true,
         Before::Piece,
         {{9, "X"}},
         10,
         Before::Piece},
        {"a line goes on: its next piece",
         "MORE",
         8,
         true,
         Before::Piece,
         {{8, "MORE"}},
         12,
         Before::Piece},
        {"an unfinished line waits",
         "A\rB",
         0,
         false,
         Before::LineStart,
         {{0, "A"}},
         2,
         Before::Cr},
        {"an LF after a CR of the last read",
         "\nB",
         2,
         true,
         Before::Cr,
         {{3, "B"}},
         4,
         Before::Piece},
        {"no row for nothing after the last CR",
         "A\r\n",
         0,
         true,
         Before::LineStart,
         {{0, "A"}},
         3,
         Before::LineStart},
        {"empty lines", "\r\r", 0, true, Before::LineStart, {{0, ""}, {1, ""}}, 2, Before::Cr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Split split = splitRows(c.bytes, c.start, c.pieceEnds, c.before);
        EXPECT_EQ(split.rows, c.rows);
        EXPECT_EQ(split.next, c.next);
        EXPECT_EQ(split.before, c.after);
    }
}

TEST(Rows, TheRowAfterTheLastOneSent) {
    const Row last{1, "A B "};
    EXPECT_EQ(afterRow(last, "\rC").next, 6u);
    EXPECT_EQ(afterRow(last, "\rC").before, Before::Cr);
    EXPECT_EQ(afterRow(last, "\r\n").next, 7u);
    EXPECT_EQ(afterRow(last, "\r\n").before, Before::LineStart);
    EXPECT_EQ(afterRow(last, "X").next, 5u) << "the line goes on";
    EXPECT_EQ(afterRow(last, "").before, Before::Piece);
}

// Stored in any pieces, the rows in offset order read like the CSV file:
// pieces of one line follow each other without a gap.
TEST(Rows, InOffsetOrderTheyReadLikeTheCsvFile) {
    std::mt19937 rng(20261208);
    const std::string alphabet = "\r\nAB ,\"";
    for (int round = 0; round < 200; ++round) {
        std::string capture(rng() % 40, ' ');
        for (char& ch : capture)
            ch = alphabet[rng() % alphabet.size()];
        std::vector<Row> rows;
        std::uint64_t next = 0;
        Before before = Before::LineStart;
        while (next < capture.size()) {
            const std::uint64_t end = next + 1 + rng() % (capture.size() - next);
            const Split split =
                splitRows(std::string_view(capture).substr(next, end - next), next, true, before);
            rows.insert(rows.end(), split.rows.begin(), split.rows.end());
            next = split.next;
            before = split.before;
        }
        std::string csv;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const bool goesOn =
                i > 0 && rows[i].offset == rows[i - 1].offset + rows[i - 1].text.size();
            csv += goesOn ? rows[i].text : (i > 0 ? "\"\r\n\"" : "\"") + rows[i].text;
        }
        if (!rows.empty())
            csv += "\"\r\n";
        ASSERT_EQ(csv, test::referenceCsv(capture)) << testing::PrintToString(capture);
    }
}

TEST(Settings, TableNamesArePlainAndPasswordsNeverShow) {
    EXPECT_TRUE(isPlainName("kelmor_records"));
    for (const char* bad : {"", "1st", "a;DROP TABLE x", "a b", "\"t\""})
        EXPECT_FALSE(isPlainName(bad)) << bad;
    const std::string connection = "Driver={PostgreSQL Unicode};Server=h;Uid=u;Pwd=s3cret;";
    EXPECT_EQ(withoutPassword("failed for s3cret at h", connection), "failed for *** at h");
    EXPECT_EQ(withoutPassword("x", "DSN=lab;PASSWORD={p;w}"), "x");
    EXPECT_EQ(withoutPassword("p;w", "DSN=lab;PASSWORD={p;w}"), "***");
}

} // namespace
