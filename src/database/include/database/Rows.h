#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelmor::database {

// One row of the table: a line of the capture file as the CSV file shows it
// (without the quotes), or the piece of one that a store brought, and where
// its text starts in the capture file.
struct Row {
    std::uint64_t offset = 0;
    std::string text;
    bool operator==(const Row&) const = default;
};

// What came just before a place in the capture file.
enum class Before {
    LineStart, // nothing, or a line end without a CR (the file's start)
    Cr,        // a CR: an LF first still belongs to that line end
    Piece,     // a row that ended where a store ended: a CR first ends its line
};

struct Split {
    std::vector<Row> rows;
    std::uint64_t next = 0; // where the next row starts
    Before before = Before::LineStart;
};

// The rows in capture bytes that start at a row's start, `start`. A CR ends
// a line (with an LF right after it, as the CSV file reads it). The text
// after the last CR is a row of its own only when `pieceEnds` (the bytes end
// where a store ended); otherwise it waits for more bytes. An empty text
// after the last CR is never a row.
[[nodiscard]] Split splitRows(std::string_view bytes, std::uint64_t start, bool pieceEnds,
                              Before before = Before::LineStart);

// Where the row after (offset, text) starts, given the capture bytes that
// follow it, and what comes before that place.
struct Resume {
    std::uint64_t next = 0;
    Before before = Before::LineStart;
};
[[nodiscard]] Resume afterRow(const Row& last, std::string_view following);

} // namespace kelmor::database
