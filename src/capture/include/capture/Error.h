#pragma once

#include <optional>
#include <string>

namespace kelmor::capture {

// A failure handed up to the face as a value: what failed, on which file or
// port, and the system's own reason. Errors never end the program.
struct Error {
    std::string what;    // e.g. "Cannot write the capture file"
    std::string subject; // the file or port concerned; may be empty
    std::string reason;  // the system's reason; may be empty

    std::string text() const {
        std::string s = what;
        if (!subject.empty())
            s += " \"" + subject + "\"";
        if (!reason.empty())
            s += ": " + reason;
        return s;
    }
};

using MaybeError = std::optional<Error>;

} // namespace kelmor::capture
