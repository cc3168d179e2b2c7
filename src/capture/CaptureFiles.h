#pragma once

#include "capture/Error.h"

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
    // Appends the text to the capture file, makes it durable, then writes the
    // CSV file anew from the whole capture file. A failed append leaves the
    // capture file as it was.
    StoreResult store(std::string_view text, const std::string& baseName);
};

} // namespace kelmor
