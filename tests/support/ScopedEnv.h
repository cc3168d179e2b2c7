#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace kelmor::test {

using namespace kelmor::capture;

// Sets an environment variable for the life of the object, then puts back
// what was there before (or nothing).
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str()))
            saved_ = old;
        set(value.c_str());
    }
    ~ScopedEnv() { set(saved_ ? saved_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const char* value) {
#ifdef _WIN32
        ::_putenv_s(name_.c_str(), value != nullptr ? value : "");
#else
        if (value != nullptr)
            ::setenv(name_.c_str(), value, 1);
        else
            ::unsetenv(name_.c_str());
#endif
    }

    std::string name_;
    std::optional<std::string> saved_;
};

} // namespace kelmor::test
