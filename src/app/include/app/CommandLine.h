#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelmor::app {

// What the command line asks for. Without options nothing changes: the
// window opens and waits for "Save As".
struct Options {
    // The port list's text, "Comm N", when --port was given.
    std::optional<std::string> portText;
    // The name, as if confirmed in the dialog, when --save was given.
    std::optional<std::string> save;
    bool headless = false;
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    // One line saying what is wrong; the program then exits with 2.
    std::optional<std::string> error;
};

// Parses the arguments after the program's name. --port takes the same rule
// as the port list's text ("Type mismatch" when it names no number).
[[nodiscard]] ParsedOptions parseOptions(const std::vector<std::string>& args);

// The text --help prints.
std::string usage(const std::string& program);
// The text --version prints: the version record.
std::string versionText();

// The exit code for a command line that cannot be used.
inline constexpr int UsageExitCode = 2;

} // namespace kelmor::app
