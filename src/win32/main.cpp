#include "Console.h"
#include "Service.h"
#include "Win32Headless.h"
#include "Win32Window.h"
#include "app/CommandLine.h"
#include "capture/WindowsText.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shellapi.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char* Program = "kelmor-csv";

// Where there is no console, the text shows in a box; never for the
// service, which has no desktop.
void tell(const std::string& text, bool error) {
    if (text.empty() || kelmor::win32::writeToConsole(text, error))
        return;
    ::MessageBoxW(nullptr, kelmor::capture::windows::widen(text).c_str(),
                  L"KELMOR CSV File Creator", error ? MB_OK | MB_ICONERROR : MB_OK);
}

std::mutex consoleLock;
kelmor::win32::Win32Headless* console = nullptr; // guarded by consoleLock
HANDLE consoleDone = nullptr;

// Ctrl+C, Ctrl+Break, a closed console: the record in hand is finished and
// the port closed before the process goes.
BOOL WINAPI consoleEnds(DWORD) {
    {
        const std::lock_guard guard(consoleLock);
        if (console != nullptr)
            console->stop();
    }
    ::WaitForSingleObject(consoleDone, 4000);
    return TRUE;
}

int runHeadless(const kelmor::app::Options& options) {
    kelmor::win32::Win32Headless face(kelmor::win32::Win32Headless::Console{});
    console = &face;
    consoleDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    kelmor::win32::attachToConsole();
    ::SetConsoleCtrlHandler(&consoleEnds, TRUE);
    face.start(options);
    face.run();
    {
        const std::lock_guard guard(consoleLock);
        console = nullptr;
    }
    ::SetEvent(consoleDone);
    return 0;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    int count = 0;
    LPWSTR* raw = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i)
        args.push_back(kelmor::capture::windows::narrow(raw[i]));
    ::LocalFree(raw);

    // Options first: --help, --version and option errors open no window.
    const kelmor::app::CommandLineAnswer answer =
        kelmor::app::answerCommandLine(args, std::string(Program) + ".exe", {.service = true});
    if (!answer.start) {
        tell(answer.text, answer.isError);
        return answer.exitCode;
    }
    const kelmor::app::Options& options = *answer.start;
    using kelmor::app::RunMode;
    switch (options.mode) {
    case RunMode::Service: {
        // The service has no desktop: what it says goes to a console or nowhere.
        const auto said = kelmor::win32::runService(options);
        kelmor::win32::writeToConsole(said.text, said.isError);
        return said.exitCode;
    }
    case RunMode::InstallService:
    case RunMode::RemoveService: {
        const auto said = options.mode == RunMode::InstallService
                              ? kelmor::win32::installService(options)
                              : kelmor::win32::removeService(*options.port);
        tell(said.text, said.isError);
        return said.exitCode;
    }
    case RunMode::Headless:
        return runHeadless(options);
    case RunMode::Window:
        break;
    }
    kelmor::win32::Win32Window window(instance, show);
    window.start(options);
    const int code = window.run();
    window.endCapture();
    return code;
}
