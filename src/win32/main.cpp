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
    kelmor::app::ParsedOptions parsed = kelmor::app::parseOptions(args);
    if (!parsed.error && parsed.options.headless)
        parsed.error = "--headless is for Linux and macOS; on Windows use --port and --save";
    if (parsed.error) {
        tell(std::string(Program) + ": " + *parsed.error + "\n", true);
        return kelmor::app::UsageExitCode;
    }
    const kelmor::app::Options& options = parsed.options;
    if (options.help) {
        tell(kelmor::app::usage(std::string(Program) + ".exe"), false);
        return 0;
    }
    if (options.version) {
        tell(kelmor::app::versionText(), false);
        return 0;
    }

    kelmor::win32::Win32Window window(instance);
    window.load();
    if (options.portText)
        window.setPortText(*options.portText);
    window.show(show);
    if (options.save)
        window.startCapture(options.save);
    const int code = window.run();
    window.endCapture();
    return code;
}
