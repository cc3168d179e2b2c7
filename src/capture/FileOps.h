#pragma once

#include "capture/CsvFormat.h"
#include "capture/Error.h"
#include "capture/platform/File.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The file work of a store: a durable append that is undone when it fails,
// and the CSV rendering, written on top of the platform's file seam.
namespace kelmor::fileops {

using platform::FileStamp;

inline std::optional<FileStamp> stampOf(const std::string& path) {
    return platform::File::stampOf(path);
}

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
