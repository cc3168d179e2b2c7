#include "platform/System.h"

#include <sys/resource.h>
#include <unistd.h>

namespace kelmor::database::platform {

void yieldToTheLine() {
#ifdef __linux__ // a thread's own nice value; elsewhere it would be the process's
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
#endif
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

std::tm utcCalendar(std::time_t seconds) {
    std::tm t{};
    ::gmtime_r(&seconds, &t);
    return t;
}

} // namespace kelmor::database::platform
