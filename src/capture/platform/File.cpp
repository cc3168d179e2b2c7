#include "capture/platform/File.h"

#include <utility>

namespace kelmor::platform {

File::File(File&& other) noexcept
    : handle_(other.handle_), error_(std::move(other.error_)), notFound_(other.notFound_) {
    other.handle_ = Closed;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        error_ = std::move(other.error_);
        notFound_ = other.notFound_;
        other.handle_ = Closed;
    }
    return *this;
}

} // namespace kelmor::platform
