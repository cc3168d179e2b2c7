#include "platform/System.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kelmor::database::platform {

void yieldToTheLine() {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

std::string hostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size))
        return "localhost";
    return name;
}

std::tm utcCalendar(std::time_t seconds) {
    std::tm t{};
    ::gmtime_s(&t, &seconds);
    return t;
}

} // namespace kelmor::database::platform
