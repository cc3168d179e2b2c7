#include "app/Service.h"

#include "app/PortText.h"

#include "capture/CsvFormat.h"

namespace kelmor::app {

std::string serviceName(int port) {
    return "kelmor-csv-comm" + std::to_string(port);
}

std::string serviceDisplayName(int port) {
    return "KELMOR CSV File Creator: capture from " + portText(port);
}

std::string serviceDescription(int port, const std::string& save) {
    const FileNames names = deriveNames(save);
    return "Answers each record the instrument on " + portText(port) +
           " sends with ACK and stores it in " + names.TxtName + " and " + names.CsvName + ".";
}

std::vector<std::string> serviceArguments(int port) {
    return {ServiceSwitch, "--port", std::to_string(port)};
}

std::vector<std::string> serviceParameters(const Options& options, const std::string& save) {
    std::vector<std::string> args;
    if (options.port)
        args.insert(args.end(), {"--port", std::to_string(*options.port)});
    args.insert(args.end(), {"--save", save});
    if (options.csv.timestamps)
        args.push_back("--timestamps");
    if (options.csv.fields)
        args.push_back("--fields");
    if (options.database) {
        args.insert(args.end(), {"--database", options.database->connection});
        if (!options.database->source.empty())
            args.insert(args.end(), {"--source", options.database->source});
        args.insert(args.end(), {"--table", options.database->table});
    }
    return args;
}

ParsedOptions serviceOptions(const Options& commandLine,
                             const std::vector<std::string>& parameters) {
    // A service installed by an earlier version has its options on its command line.
    if (commandLine.save)
        return {commandLine, std::nullopt};
    std::vector<std::string> args{ServiceSwitch};
    args.insert(args.end(), parameters.begin(), parameters.end());
    ParsedOptions parsed = parseOptions(args);
    if (!parsed.error && parsed.options.port != commandLine.port)
        parsed.error = "the service's settings are for another port";
    return parsed;
}

std::string quoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char ch : arg) {
        if (ch == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes mean themselves, except before a quote.
        out.append(ch == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += ch;
    }
    // ... and before the closing quote.
    out.append(2 * backslashes, '\\');
    return out + '"';
}

std::string commandLine(const std::string& program, const std::vector<std::string>& args) {
    std::string line = '"' + program + '"';
    for (const std::string& arg : args)
        line += ' ' + quoteArgument(arg);
    return line;
}

} // namespace kelmor::app
