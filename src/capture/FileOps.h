#pragma once

#include "capture/CsvFormat.h"
#include "capture/Error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The only place that touches the operating system's file calls, so that a
// port to another platform replaces this one file pair.
namespace kelmor::fileops {

// Enough to tell whether a file is still the one, and as, we left it.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stampOf(const std::string& path);

struct AppendResult {
    MaybeError error;
    FileStamp before; // the file as found (size 0 when it did not exist)
    FileStamp after;  // the file as left
};

// Appends the bytes and makes them durable before returning. On any failure
// the file is left as it was before the call (a file this call created is
// removed again).
AppendResult appendDurably(const std::string& path, std::string_view bytes);

struct CsvWriteResult {
    MaybeError error;
    FileStamp csv;    // the CSV file as left
    CsvResume resume; // where the next write can start
};

// Renders txtPath into csvPath from a resume point: the CSV file is cut at
// from.csvOffset and the capture file rendered from from.captureOffset on.
// The default resume point rewrites the whole file. Streams in large blocks.
CsvWriteResult writeCsv(const std::string& txtPath, const std::string& csvPath,
                        const CsvResume& from = {});

} // namespace kelmor::fileops
