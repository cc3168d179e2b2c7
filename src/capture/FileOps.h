#pragma once

#include "capture/CsvFormat.h"
#include "capture/Error.h"
#include "capture/FileStamp.h"
#include "platform/File.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The file work of a store: a durable append that is undone when it fails,
// and the CSV rendering, written on top of the platform's file seam.
namespace kelmor::fileops {

inline std::optional<FileStamp> stampOf(const std::string& path) {
    return platform::File::stampOf(path);
}

struct AppendResult {
    MaybeError error;
    FileStamp before; // the file as found (size 0 when it did not exist)
    FileStamp after;  // the file as left
    // A failed append that could not be undone: from this offset on, the file
    // may hold a leading part of the bytes.
    std::optional<std::uint64_t> tornAt;
};

// Appends the bytes and makes them durable before returning. On failure the
// file is left as it was before the call (a file this call created is
// removed again); where that is refused, tornAt says where the leftover
// starts. Passing it back to the retry writes only what is still missing, so
// the bytes end up in the file exactly once.
[[nodiscard]] AppendResult appendDurably(const std::string& path, std::string_view bytes,
                                         std::optional<std::uint64_t> tornAt = std::nullopt);

struct CsvWriteResult {
    MaybeError error;
    FileStamp csv;    // the CSV file as left
    CsvResume resume; // where the next write can start
};

// Renders txtPath into csvPath from a resume point: the CSV file is cut at
// from.csvOffset and the capture file rendered from from.captureOffset on.
// The default resume point rewrites the whole file. Streams in large blocks.
[[nodiscard]] CsvWriteResult writeCsv(const std::string& txtPath, const std::string& csvPath,
                                      const CsvResume& from = {});

} // namespace kelmor::fileops
