#pragma once

#include <string>
#include <string_view>

namespace kelmor::capture {

// What the capture core needs of a serial line, and nothing more. Bytes are
// raw: no encoding conversion, NUL and bytes above 0x7F pass unchanged.
class SerialLink {
public:
    virtual ~SerialLink() = default;
    // Removes and returns everything waiting; empty when nothing waits.
    virtual std::string input() = 0;
    virtual void output(std::string_view bytes) = 0;
    virtual bool isOpen() const = 0;
};

} // namespace kelmor::capture
