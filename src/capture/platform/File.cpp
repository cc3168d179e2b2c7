#include "platform/File.h"

#include "platform/Faults.h"

#include <utility>

namespace kelmor::capture::platform {

namespace {
FaultHook* installed = nullptr;
} // namespace

ScopedFaultHook::ScopedFaultHook(FaultHook& hook) {
    installed = &hook;
}

ScopedFaultHook::~ScopedFaultHook() {
    installed = nullptr;
}

std::optional<std::string> injectedFor(FileOp op, const std::string& path) {
    return installed != nullptr ? installed->before(op, path, nullptr) : std::nullopt;
}

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, Closed)), path_(std::move(other.path_)),
      error_(std::move(other.error_)), notFound_(other.notFound_),
      alreadyExists_(other.alreadyExists_) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, Closed);
        path_ = std::move(other.path_);
        error_ = std::move(other.error_);
        notFound_ = other.notFound_;
        alreadyExists_ = other.alreadyExists_;
    }
    return *this;
}

bool File::failWith(std::string reason) {
    notFound_ = false;
    alreadyExists_ = false;
    error_ = std::move(reason);
    return false;
}

bool File::injected(FileOp op, std::size_t* size) {
    if (installed == nullptr)
        return false;
    if (auto reason = installed->before(op, path_, size)) {
        failWith(std::move(*reason));
        return true;
    }
    return false;
}

bool File::write(const char* data, std::size_t size) {
    std::size_t lands = size;
    if (injected(FileOp::Write, &lands)) {
        std::string reason = error_;
        if (lands < size && !writeAll(data, lands))
            return false;
        return failWith(std::move(reason));
    }
    return writeAll(data, size);
}

} // namespace kelmor::capture::platform
