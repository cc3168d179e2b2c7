#pragma once

#include <string>
#include <string_view>

namespace kelmor {

// The two output names derived from the one name the user chose.
struct FileNames {
    std::string CsvName;
    std::string TxtName;
};

FileNames deriveNames(const std::string& baseName);

// Turns capture-file bytes into CSV bytes: each line (ended by CR or CR LF,
// the last one possibly by the end of the data) becomes '"' line '"' CR LF.
// Quotes inside a line are written as they are. Works on data split
// anywhere, so files can be streamed in blocks.
class CsvRenderer {
public:
    void feed(std::string_view capture, std::string& csv);
    // Closes an unterminated last line.
    void finish(std::string& csv);

private:
    bool inLine_ = false;
    bool skipLf_ = false; // the previous block ended on CR
};

} // namespace kelmor
