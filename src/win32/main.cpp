#include "Win32Window.h"
#include "app/CommandLine.h"
#include "capture/WindowsText.h"

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

constexpr const char* Program = "kelmor-csv";

// A windowed program has no console of its own: write to the one it was
// started from, if any, else show the text in a box.
void tell(const std::string& text, bool error) {
    HANDLE out = ::GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        if (::AttachConsole(ATTACH_PARENT_PROCESS))
            out = ::GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    }
    DWORD written = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE &&
        ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        return;
    ::MessageBoxW(nullptr, kelmor::windows::widen(text).c_str(), L"KELMOR CSV File Creator",
                  error ? MB_OK | MB_ICONERROR : MB_OK);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    int count = 0;
    LPWSTR* raw = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i)
        args.push_back(kelmor::windows::narrow(raw[i]));
    ::LocalFree(raw);

    // Options first: --help, --version and option errors open no window.
    const kelmor::app::CommandLineAnswer answer =
        kelmor::app::answerCommandLine(args, std::string(Program) + ".exe", {.headless = false});
    if (!answer.start) {
        tell(answer.text, answer.isError);
        return answer.exitCode;
    }
    kelmor::win32::Win32Window window(instance, show);
    window.start(*answer.start);
    const int code = window.run();
    window.endCapture();
    return code;
}
