#pragma once

#include "capture/CsvFormat.h"
#include "capture/Error.h"
#include "capture/FileStamp.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelmor {

struct [[nodiscard]] StoreResult {
    // Why the text is not durably in the capture file; empty once it is, and
    // only then may the device be acknowledged.
    MaybeError storeError;
    // Why the CSV file could not be brought up to date after a store.
    MaybeError csvError;

    bool stored() const { return !storeError; }
};

// The capture file (.txt) and its CSV mirror (.csv) under one base name.
class CaptureFiles {
public:
    // Appends the text to the capture file and makes it durable, then brings
    // the CSV file up to date: afterwards it is exactly the rendering of the
    // whole capture file. A failed append leaves the capture file as it was,
    // or, where undoing it is refused, is completed by the retry rather than
    // repeated.
    StoreResult store(std::string_view text, const std::string& baseName);

    // Whether the next store to these names may continue the CSV file rather
    // than rewrite it.
    bool tracking(const std::string& baseName) const;

private:
    // The files as the last store left them. Only while both are exactly so
    // can the CSV file be continued from its last line; anything else (first
    // store, another name, a file changed by someone else, a failed write)
    // means a whole rewrite.
    struct Tracked {
        FileNames names;
        FileStamp txt;
        FileStamp csv;
        CsvResume resume;
    };
    // A failed append that could not be undone.
    struct Torn {
        std::string path;
        std::uint64_t offset = 0;
    };
    std::optional<Tracked> tracked_;
    std::optional<Torn> torn_;
};

} // namespace kelmor
