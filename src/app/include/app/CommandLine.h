#pragma once

#include "capture/CsvFormat.h"
#include "database/Writer.h"

#include <optional>
#include <string>
#include <vector>

namespace kelmor::app {

// How the program runs: one of these a start.
enum class RunMode {
    Window,         // the window (the default)
    Headless,       // no window: --headless
    Service,        // Windows: under the service manager (ServiceSwitch)
    InstallService, // Windows: install and start the service for --port
    RemoveService,  // Windows: stop and remove the service for the port
};

// What the command line asks for. Without options nothing changes: the
// window opens and waits for "Save As".
struct Options {
    RunMode mode = RunMode::Window;
    // The port from --port (or --remove-service): the port list then reads "Comm N".
    std::optional<int> port;
    // The name, as if confirmed in the dialog, when --save was given.
    std::optional<std::string> save;
    // The account an installed service runs under; LocalSystem without it.
    std::optional<std::string> serviceAccount;
    // Every record into a table too, when --database (or KELMOR_CSV_DATABASE) was given.
    std::optional<database::Settings> database;
    // --timestamps and --fields: how the CSV file shows each line.
    capture::CsvOptions csv;
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    // One line saying what is wrong; the program then exits with 2.
    std::optional<std::string> error;
};

// The switch on a service's own command line: only then does the program
// wait for the service manager.
inline constexpr const char* ServiceSwitch = "--service";

// The environment variable that turns the database on, like --database.
inline constexpr const char* DatabaseVariable = "KELMOR_CSV_DATABASE";

// Parses the arguments after the program's name. --port takes a whole
// number from 1 to 15.
[[nodiscard]] ParsedOptions parseOptions(const std::vector<std::string>& args,
                                         const char* databaseVariable = nullptr);

// The text --help prints.
std::string usage(const std::string& program);
// The text --version prints: the version record.
std::string versionText();

// The exit code for a command line that cannot be used.
inline constexpr int UsageExitCode = 2;

// What this build can do besides the window.
struct Modes {
    bool service = false; // the Windows service, its install and its removal
    // Where it cannot: what to do instead, for the message.
    const char* withoutService = "this build has no service";
};

// What a face does with its command line before anything is drawn: start
// with the options, or print the text and exit with the code.
struct CommandLineAnswer {
    std::optional<Options> start;
    std::string text;     // --help, --version or one line on what is wrong
    bool isError = false; // the text goes to standard error
    int exitCode = 0;

    // What a run that ends at once (a service's install) says on its way out.
    static CommandLineAnswer saying(std::string text) { return {{}, std::move(text), false, 0}; }
    static CommandLineAnswer failing(std::string text, int exitCode = 1) {
        return {{}, std::move(text), true, exitCode};
    }
};

// The one option handler every face uses; program is the name --help shows.
[[nodiscard]] CommandLineAnswer answerCommandLine(const std::vector<std::string>& args,
                                                  const std::string& program, const Modes& modes);

} // namespace kelmor::app
