#include "app/CommandLine.h"

#include "app/PortText.h"
#include "app/Version.h"

#include <cstdlib>

namespace kelmor::app {

ParsedOptions parseOptions(const std::vector<std::string>& args, const char* databaseVariable) {
    ParsedOptions parsed;
    std::optional<std::string> connection;
    std::optional<std::string> source;
    std::optional<std::string> table;
    if (databaseVariable != nullptr && *databaseVariable != '\0')
        connection = databaseVariable;
    Options& o = parsed.options;
    const auto fail = [&](std::string message) {
        parsed.error = std::move(message);
        return parsed;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.erase(eq);
        }
        const bool takesValue = arg == "--port" || arg == "--save" || arg == "--database" ||
                                arg == "--source" || arg == "--table";
        if (takesValue && !value) {
            if (i + 1 >= args.size())
                return fail(arg + " needs a value");
            value = args[++i];
        } else if (!takesValue && value) {
            return fail(arg + " takes no value");
        }
        if (arg == "--port") {
            const std::optional<int> port = portFromNumber(*value);
            if (!port)
                return fail("--port takes a whole number from 1 to " + std::to_string(PortCount) +
                            ", not '" + *value + "'");
            o.portText = "Comm " + std::to_string(*port);
        } else if (arg == "--save") {
            if (value->empty())
                return fail("--save needs a name");
            o.save = *value;
        } else if (arg == "--database") {
            if (value->empty())
                return fail("--database needs an ODBC connection string or DSN=name");
            connection = *value;
        } else if (arg == "--source") {
            if (value->empty())
                return fail("--source needs a name");
            source = *value;
        } else if (arg == "--table") {
            if (!database::isPlainName(*value))
                return fail("--table takes a plain SQL name (letters, digits, _), not '" + *value +
                            "'");
            table = *value;
        } else if (arg == "--headless") {
            o.headless = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else {
            return fail("unknown option '" + arg + "' (see --help)");
        }
    }
    if (o.headless && !o.save && !o.help && !o.version)
        return fail("--headless needs --save NAME: there is no dialog to ask for it");
    if (connection) {
        database::Settings settings;
        settings.connection = *connection;
        settings.source = source.value_or("");
        if (table)
            settings.table = *table;
        o.database = settings;
    } else if (source || table) {
        return fail(std::string(source ? "--source" : "--table") + " goes with --database");
    }
    return parsed;
}

std::string usage(const std::string& program) {
    return "Usage: " + program + R"( [--port N] [--save NAME] [--headless]
       [--database CONNECTION [--source NAME] [--table NAME]]
Captures the records an instrument sends over a serial line into NAME.txt
and NAME.csv, answering each with ACK.

  --port N      pick "Comm N" in the port list, N from 1 to 15
  --save NAME   start capturing at once, as if NAME had been confirmed in
                the "Save As" dialog (on "Comm 3" unless --port says)
  --headless    no window and no display: capture until SIGTERM, SIGINT
                or SIGHUP; errors go to standard error, one line each
                (needs --save; Linux and macOS)
  --database CONNECTION
                also send every line of the capture file to an SQL table
                through ODBC: a connection string or DSN=name (a DSN keeps
                the password out of the command line); also taken from
                KELMOR_CSV_DATABASE. Rows go from the capture file, at least
                once and once in the table, and never hold up an ACK
  --source NAME the rows' source (default: this host and the capture file)
  --table NAME  the table (default kelmor_records), made when missing
  --help        this text
  --version     the version

Without options the window opens and waits for "Save As". A port that
cannot be opened at a start from the command line is tried again every
second, as a lost one is.
)";
}

std::string versionText() {
    return std::string(KELMOR_PRODUCT) + " " + KELMOR_VERSION + "\n";
}

CommandLineAnswer answerCommandLine(const std::vector<std::string>& args,
                                    const std::string& program, const Modes& modes) {
    ParsedOptions parsed = parseOptions(args, std::getenv(DatabaseVariable));
    if (!parsed.error && parsed.options.headless && !modes.headless && !parsed.options.help &&
        !parsed.options.version)
        parsed.error = "--headless is for Linux and macOS; on Windows use --port and --save";
    CommandLineAnswer answer;
    if (parsed.error) {
        answer.text = program + ": " + *parsed.error + "\n";
        answer.isError = true;
        answer.exitCode = UsageExitCode;
    } else if (parsed.options.help) {
        answer.text = usage(program);
    } else if (parsed.options.version) {
        answer.text = versionText();
    } else {
        answer.start = std::move(parsed.options);
    }
    return answer;
}

} // namespace kelmor::app
