#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Files beside the capture: reading a capture file from beside the program
// that writes it (the database writer), with the platform's sharing rules (a
// reader never stands in the way of the store, of a rename or of a delete),
// and the error log of a program without a window.
namespace kelmor::capture {

struct [[nodiscard]] ReadResult {
    // The file could not be opened or read now (held by a scanner, a
    // permission): nothing is known of its content; try again later.
    std::optional<std::string> failure;
    // Fewer bytes than asked only where the file ends.
    std::string bytes;
};
ReadResult readFileAt(const std::string& path, std::uint64_t offset, std::size_t length);

// When the stores that brought bytes of [from, to) of a capture file became
// durable, as the journal beside it says, in the file's order. Bytes no
// journal line covers are missing from it.
struct StoreTime {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::int64_t utcMs = 0;
};
std::vector<StoreTime> storeTimes(const std::string& captureFile, std::uint64_t from,
                                  std::uint64_t to);

// One name for a file however it is reached: links, "." and ".." resolved,
// and on Windows the final path name as the disk spells it. The absolute
// name as given where the file cannot be resolved.
std::string canonicalName(const std::string& path);

// Appends the local time and one line to a log file, made if missing; never
// through a link, which a service must not follow to where it leads. Whether
// the line was written.
bool appendLogLine(const std::string& path, const std::string& line);

} // namespace kelmor::capture
