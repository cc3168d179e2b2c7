#pragma once

#include "capture/CsvFormat.h"
#include "capture/Error.h"
#include "capture/FileOps.h"

#include <optional>

#include <string>
#include <string_view>

namespace kelmor {

struct StoreResult {
    // True once the text is durably in the capture file; only then may the
    // device be acknowledged.
    bool stored = false;
    // Why the text was not stored, or (stored == true) why the CSV file
    // could not be written.
    MaybeError error;
};

// The capture file (.txt) and its CSV mirror (.csv) under one base name.
class CaptureFiles {
public:
    // Appends the text to the capture file and makes it durable, then brings
    // the CSV file up to date: afterwards it is exactly the rendering of the
    // whole capture file. A failed append leaves the capture file as it was.
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
        fileops::FileStamp txt;
        fileops::FileStamp csv;
        CsvResume resume;
    };
    std::optional<Tracked> tracked_;
};

} // namespace kelmor
