#include "Service.h"

#include "ServiceSettings.h"
#include "Win32Headless.h"
#include "app/Service.h"
#include "capture/WindowsText.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <mutex>

// Running under the service manager.
namespace kelmor::win32 {

namespace {

// What ServiceMain runs, and the face the control handler stops.
struct Running {
    std::mutex lock;
    app::Options commandLine;
    std::wstring name;
    std::mutex statusLock;
    SERVICE_STATUS_HANDLE handle = nullptr; // guarded by statusLock
    SERVICE_STATUS status{};                // guarded by statusLock
    Win32Headless* face = nullptr;          // guarded by lock
    bool stopAsked = false;                 // guarded by lock
} running;

// From ServiceMain's thread and the control handler's.
void setState(DWORD state, DWORD waitHintMs = 0, DWORD exitCode = NO_ERROR) {
    const std::lock_guard guard(running.statusLock);
    running.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    running.status.dwCurrentState = state;
    running.status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    running.status.dwWin32ExitCode = exitCode;
    running.status.dwWaitHint = waitHintMs;
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
        ++running.status.dwCheckPoint;
    else
        running.status.dwCheckPoint = 0;
    ::SetServiceStatus(running.handle, &running.status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
        setState(SERVICE_STOP_PENDING, 10000);
        const std::lock_guard guard(running.lock);
        running.stopAsked = true;
        if (running.face != nullptr)
            running.face->stop();
        return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    // The handler first: the service manager may send a stop at once.
    {
        // The handler may run on its own thread as soon as it is registered.
        const std::lock_guard guard(running.statusLock);
        running.handle = ::RegisterServiceCtrlHandlerExW(running.name.c_str(), &control, nullptr);
        if (running.handle == nullptr)
            return;
    }
    setState(SERVICE_START_PENDING, 10000);
    const std::string name = capture::windows::narrow(running.name);
    const app::ParsedOptions options = app::serviceOptions(
        running.commandLine, readServiceOptions(name).value_or(std::vector<std::string>{}));
    if (options.error) {
        writeServiceStatus(name, "its settings cannot be used: " + *options.error);
        setState(SERVICE_STOPPED, 0, ERROR_BAD_CONFIGURATION);
        return;
    }
    {
        Win32Headless face(Win32Headless::Service{running.name});
        {
            const std::lock_guard guard(running.lock);
            running.face = &face;
            if (running.stopAsked)
                face.stop();
        }
        // A port that is not there yet is tried every second: the start never waits on it.
        face.start(options.options);
        setState(SERVICE_RUNNING);
        // What the install tells the administrator: the port, as the start found it.
        writeServiceStatus(name, face.capturing() ? StatusCapturing : face.lastError());
        // A CSV rewrite finishing at the stop: the service manager hears it is still going.
        face.run([] { setState(SERVICE_STOP_PENDING, 5000); });
        const std::lock_guard guard(running.lock);
        running.face = nullptr;
    }
    setState(SERVICE_STOPPED);
}

} // namespace

app::CommandLineAnswer runService(const app::Options& options) {
    running.commandLine = options;
    running.name = capture::windows::widen(app::serviceName(*options.port));
    SERVICE_TABLE_ENTRYW table[] = {{running.name.data(), &serviceMain}, {nullptr, nullptr}};
    if (::StartServiceCtrlDispatcherW(table))
        return {};
    const DWORD code = ::GetLastError();
    if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        return app::CommandLineAnswer::failing(
            std::string(app::ServiceSwitch) +
                " is for the service manager; to capture as a service, use "
                "--install-service\n",
            app::UsageExitCode);
    return app::CommandLineAnswer::failing(
        "the service could not start: " + capture::windows::describe(code) + "\n");
}

} // namespace kelmor::win32
