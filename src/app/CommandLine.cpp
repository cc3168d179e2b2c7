#include "app/CommandLine.h"

#include "app/PortText.h"
#include "app/Version.h"

#include <algorithm>
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
    int modes = 0;
    const auto choose = [&](RunMode mode) {
        if (o.mode != mode)
            ++modes;
        o.mode = mode;
    };
    std::optional<int> removed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.erase(eq);
        }
        const bool takesValue = arg == "--port" || arg == "--save" || arg == "--database" ||
                                arg == "--source" || arg == "--table" ||
                                arg == "--remove-service" || arg == "--service-account";
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
            o.port = *port;
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
            // Characters, as the table's column counts them.
            const auto length = std::count_if(value->begin(), value->end(), [](char ch) {
                return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
            });
            if (static_cast<std::size_t>(length) > database::MaxSourceLength)
                return fail("--source takes at most " + std::to_string(database::MaxSourceLength) +
                            " characters, not " + std::to_string(length));
            source = *value;
        } else if (arg == "--table") {
            if (!database::isPlainName(*value))
                return fail("--table takes a plain SQL name (letters, digits, _), not '" + *value +
                            "'");
            table = *value;
        } else if (arg == "--timestamps") {
            o.csv.timestamps = true;
        } else if (arg == "--fields") {
            o.csv.fields = true;
        } else if (arg == "--headless") {
            choose(RunMode::Headless);
        } else if (arg == ServiceSwitch) {
            choose(RunMode::Service);
        } else if (arg == "--install-service") {
            choose(RunMode::InstallService);
        } else if (arg == "--remove-service") {
            choose(RunMode::RemoveService);
            removed = portFromNumber(*value);
            if (!removed)
                return fail("--remove-service takes the service's port, a whole number from 1 to " +
                            std::to_string(PortCount) + ", not '" + *value + "'");
        } else if (arg == "--service-account") {
            if (value->empty())
                return fail("--service-account needs an account name");
            o.serviceAccount = *value;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else {
            return fail("unknown option '" + arg + "' (see --help)");
        }
    }
    if (o.help || o.version)
        return parsed;
    if (modes > 1)
        return fail("--headless, --service, --install-service and --remove-service go one at a "
                    "time");
    if (o.mode == RunMode::RemoveService) {
        if (o.port || o.save || connection || source || table || !o.csv.plain())
            return fail("--remove-service takes only the port: --remove-service N");
        o.port = removed;
    }
    if (o.serviceAccount && o.mode != RunMode::InstallService)
        return fail("--service-account goes with --install-service");
    // A service's command line holds only its port; its other options are in its settings.
    for (const auto& [mode, what] : {std::pair{RunMode::Headless, "--headless"},
                                     std::pair{RunMode::InstallService, "--install-service"}}) {
        if (o.mode == mode && !o.save)
            return fail(std::string(what) + " needs --save NAME: there is no dialog to ask for it");
    }
    if (o.mode == RunMode::Service && !o.port)
        return fail(std::string(ServiceSwitch) + " needs --port N");
    // One service per port: the port names it, so it is never left to a default.
    if (o.mode == RunMode::InstallService && !o.port)
        return fail("--install-service needs --port N: each port has a service of its own");
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
       [--timestamps] [--fields]
       [--database CONNECTION [--source NAME] [--table NAME]]
)" + "       " +
           program +
           R"( --install-service --port N --save NAME [--service-account NAME]
)" + "       " +
           program + R"( --remove-service N
Captures the records an instrument sends over a serial line into NAME.txt
and NAME.csv, answering each with ACK.

  --port N      pick "Comm N" in the port list, N from 1 to 15
  --save NAME   start capturing at once, as if NAME had been confirmed in
                the "Save As" dialog (on "Comm 3" unless --port says)
  --timestamps  the CSV file's first field on each line is the local time the
                line was stored: "2026-12-07 10:00:00.123","12.5 g"
  --fields      the line's fields, split where the instrument sent FS, each in
                a quoted field of the CSV file: "S","12.5","g"
                (with either, quotes in a field are doubled; the capture
                file never changes, and the next start with other options
                renders the whole CSV file anew)
  --headless    no window and no display: errors go to standard error, one
                line each (on Windows to NAME.log when there is none); ends
                on SIGTERM, SIGINT or SIGHUP, on Windows on Ctrl+C, a closed
                console, a logoff or taskkill (needs --save)
  --database CONNECTION
                also send every line of the capture file to an SQL table
                through ODBC: a connection string or DSN=name (a DSN keeps
                the password out of the command line); also taken from
                KELMOR_CSV_DATABASE. Each line goes in once, from what is
                durable in the capture file, and never holds up an ACK
  --source NAME the rows' source (default: this host and the capture file)
  --table NAME  the table (default kelmor_records), made when missing
  --install-service
                Windows, as an administrator: install and start the service
                kelmor-csv-commN, which captures from Comm N into NAME at
                every boot, with nobody logged on; errors go to the event log
  --service-account NAME
                the account it runs as (default LocalSystem); a password is
                taken from KELMOR_CSV_SERVICE_PASSWORD
  --remove-service N
                stop and remove the service of Comm N; the files stay
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
    const Options& o = parsed.options;
    const bool serviceMode = o.mode == RunMode::Service || o.mode == RunMode::InstallService ||
                             o.mode == RunMode::RemoveService;
    if (!parsed.error && !o.help && !o.version && serviceMode && !modes.service)
        parsed.error = modes.withoutService;
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
