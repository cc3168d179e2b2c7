#include "Console.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kelmor::win32 {

namespace {

bool usable(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

} // namespace

void attachToConsole() {
    if (!usable(::GetStdHandle(STD_ERROR_HANDLE)))
        ::AttachConsole(ATTACH_PARENT_PROCESS);
}

bool writeToConsole(const std::string& text, bool error) {
    const DWORD which = error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
    HANDLE out = ::GetStdHandle(which);
    if (!usable(out) && ::AttachConsole(ATTACH_PARENT_PROCESS))
        out = ::GetStdHandle(which);
    DWORD written = 0;
    return usable(out) &&
           ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

} // namespace kelmor::win32
