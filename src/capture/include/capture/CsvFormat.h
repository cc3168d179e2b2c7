#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kelmor::capture {

// The two output names derived from the one name the user chose.
struct FileNames {
    std::string CsvName;
    std::string TxtName;

    bool operator==(const FileNames&) const = default;
};

FileNames deriveNames(const std::string& baseName);

// Where rendering can go on so that the result equals rendering the whole
// capture file: the end of the capture data, and where the CSV file is cut
// to continue it. An unterminated last line is continued where it stands:
// only its closing quote and CR LF are cut, whatever the line's length.
struct CsvResume {
    std::uint64_t captureOffset = 0;
    std::uint64_t csvOffset = 0;
    bool afterCr = false; // the capture data ended on CR: a leading LF belongs to it
    bool inLine = false;  // the last line is unterminated; its quote is open at csvOffset
    // Fields only: the capture data ended on the space an ETX became, which
    // ends a field only where more of the line follows.
    bool afterEtx = false;

    bool operator==(const CsvResume&) const = default;
};

// Turns capture-file bytes into CSV bytes: each line (ended by CR or CR LF,
// the last one possibly by the end of the data) becomes '"' line '"' CR LF.
// Quotes inside a line are written as they are. Works on data split
// anywhere, so files can be streamed in blocks.
class CsvRenderer {
public:
    CsvRenderer() = default;
    // Continues a rendering from a point taken earlier with resumePoint().
    explicit CsvRenderer(const CsvResume& from);

    void feed(std::string_view capture, std::string& csv);
    // Where to go on once more data is appended; take it before finish().
    CsvResume resumePoint() const { return {in_, out_, skipLf_, inLine_}; }
    // Closes an unterminated last line.
    void finish(std::string& csv);

private:
    void put(std::string& csv, const char* data, std::size_t size);

    bool inLine_ = false;
    bool skipLf_ = false;   // the previous block ended on CR
    std::uint64_t in_ = 0;  // capture bytes consumed, from the file's start
    std::uint64_t out_ = 0; // CSV bytes produced, from the file's start
};

// How the CSV file shows a line, beyond the one quoted field of the default.
struct CsvOptions {
    bool timestamps = false; // a first field: the local time the line's first piece was stored
    bool fields = false;     // the line split into fields where the device sent FS

    bool plain() const { return !timestamps && !fields; }
    // "plain", "timestamps", "fields" or "timestamps+fields": as a journal records it.
    std::string text() const;
    bool operator==(const CsvOptions&) const = default;
};

// What a store brought besides its text: where the device sent FS and ETX,
// which cleaning turned into spaces.
struct Separator {
    enum class Kind : char { Fs = 'f', Etx = 'e' };
    std::uint64_t at = 0; // in the store's text, or in the capture file once stored
    Kind kind = Kind::Fs;
    bool operator==(const Separator&) const = default;
};

// One store as the journal beside the capture file keeps it: the capture
// bytes [start, end), durable at utcMs, with its separators at offsets in
// the capture file.
struct StoreEntry {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::int64_t utcMs = 0;
    std::vector<Separator> separators;
    bool operator==(const StoreEntry&) const = default;
};

// What the journal says of a stretch of the capture file, as the renderer
// takes it: the stores with their times, and the separators, each in the
// file's order. Flat, so that a rewrite of millions of lines allocates
// nothing per line.
struct StoreSpan {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::int64_t utcMs = 0;
};
struct StoreNotes {
    std::vector<StoreSpan> stores;
    std::vector<Separator> separators; // at offsets in the capture file

    void add(const StoreEntry& entry) {
        stores.push_back({entry.start, entry.end, entry.utcMs});
        separators.insert(separators.end(), entry.separators.begin(), entry.separators.end());
    }
    void clear() {
        stores.clear();
        separators.clear();
    }
};

// "2026-12-07 10:00:00.123": a moment in local time, as spreadsheets read it.
std::string localTimeText(std::int64_t utcMs);

// Renders capture bytes as CsvRenderer does, with the options: a time field
// first, and the line split at the FS the device sent (the space an ETX
// became is left out too, and ends a field only where more of the line
// follows). Every field is quoted, with its quotes doubled. A line no store
// covers has an empty time and is one field.
class RecordRenderer {
public:
    explicit RecordRenderer(CsvOptions options, const CsvResume& from = {});

    // The notes must cover what they know of the bytes fed; notes before the
    // bytes are skipped.
    void feed(std::string_view capture, const StoreNotes& notes, std::string& csv);
    CsvResume resumePoint() const { return {in_, out_, skipLf_, inLine_, afterEtx_}; }
    void finish(std::string& csv);

private:
    static constexpr std::size_t ChunkSize = 16 << 10;
    // The most one capture byte can become: a CR ends a line (3) and the
    // next line starts with its time (at most 40).
    static constexpr std::size_t MaxGrowth = 48;

    void feedChunk(std::string_view capture, const StoreNotes& notes);
    void put(const char* text, std::size_t size) {
        std::memcpy(w_, text, size);
        w_ += size;
    }
    void startLine(std::uint64_t at, const std::vector<StoreSpan>& stores);

    CsvOptions options_;
    bool inLine_ = false;
    bool skipLf_ = false;
    bool afterEtx_ = false;
    std::uint64_t in_ = 0;
    std::uint64_t out_ = 0;
    std::size_t store_ = 0; // the first store that may still matter, in this feed's notes
    std::int64_t cachedSecond_ = -1;
    std::string cachedTime_; // the local time of that second, without milliseconds
    std::vector<char> scratch_;
    char* w_ = nullptr; // where the chunk's output goes on, in scratch_
};

} // namespace kelmor::capture
