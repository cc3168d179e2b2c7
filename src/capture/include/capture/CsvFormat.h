#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

} // namespace kelmor::capture
