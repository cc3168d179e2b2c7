#include "app/Service.h"
#include "app/CommandLine.h"
#include "app/HeadlessErrors.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "capture/WindowsText.h"
#include <windows.h>

#include <shellapi.h>
#endif

#include <string>
#include <vector>

using namespace kelmor::app;

namespace {

TEST(Service, ThePortNamesIt) {
    EXPECT_EQ(serviceName(3), "kelmor-csv-comm3");
    EXPECT_EQ(serviceName(12), "kelmor-csv-comm12");
    EXPECT_EQ(serviceDisplayName(3), "KELMOR CSV File Creator: capture from Comm 3");
    EXPECT_EQ(errorLogName("C:\\Capture\\weighings"), "C:\\Capture\\weighings.log");
    EXPECT_EQ(errorLogName("C:\\Capture\\weighings.txt"), "C:\\Capture\\weighings.log");
}

// What the service manager runs must read back as the arguments it was made
// of; under Windows the system's own parser reads it.
TEST(Service, CommandLineReadsBackAsItsArguments) {
    const std::vector<std::string> args{
        "--save", "C:\\Capture\\weighings", "C:\\My Data\\lab 2\\w", "",          "a\"b",
        "ends\\", "ends in space\\",        "\\\\server\\share\\x",  "tab\there", "q\\\"q",
        "é 中文"};
    const std::string line = commandLine("C:\\Program Files\\K\\kelmor-csv.exe", args);
    EXPECT_TRUE(line.starts_with("\"C:\\Program Files\\K\\kelmor-csv.exe\" --save "
                                 "C:\\Capture\\weighings \"C:\\My Data\\lab 2\\w\" \"\" "))
        << line;
    EXPECT_NE(line.find(" \"ends in space\\\\\" "), std::string::npos) << line;
    EXPECT_NE(line.find(" \"a\\\"b\" "), std::string::npos) << line;
#ifdef _WIN32
    int count = 0;
    LPWSTR* read = ::CommandLineToArgvW(kelmor::capture::windows::widen(line).c_str(), &count);
    ASSERT_NE(read, nullptr);
    ASSERT_EQ(count, static_cast<int>(args.size()) + 1);
    EXPECT_EQ(kelmor::capture::windows::narrow(read[0]), "C:\\Program Files\\K\\kelmor-csv.exe");
    for (std::size_t i = 0; i < args.size(); ++i)
        EXPECT_EQ(kelmor::capture::windows::narrow(read[i + 1]), args[i]) << i;
    ::LocalFree(read);
#endif
}

TEST(Service, ItRunsWithTheInstallsCaptureOptionsKeptOffItsCommandLine) {
    const ParsedOptions install =
        parseOptions({"--install-service", "--port", "7", "--save", "w", "--service-account",
                      "NT AUTHORITY\\NetworkService", "--database", "DSN=lab;Pwd=a%PATH%b",
                      "--source", "scale %OS%", "--table", "t", "--timestamps", "--fields"});
    ASSERT_FALSE(install.error) << *install.error;
    EXPECT_EQ(serviceArguments(7), (std::vector<std::string>{"--service", "--port", "7"}));
    const ParsedOptions command = parseOptions(serviceArguments(7));
    ASSERT_FALSE(command.error) << *command.error;
    EXPECT_EQ(command.options.mode, RunMode::Service);

    const std::string save = "C:\\cap dir\\50%OS%x";
    const ParsedOptions back =
        serviceOptions(command.options, serviceParameters(install.options, save));
    ASSERT_FALSE(back.error) << *back.error;
    EXPECT_EQ(back.options.port, 7);
    EXPECT_EQ(back.options.save, save);
    ASSERT_TRUE(back.options.database);
    EXPECT_EQ(back.options.database->connection, "DSN=lab;Pwd=a%PATH%b");
    EXPECT_EQ(back.options.database->source, "scale %OS%");
    EXPECT_EQ(back.options.database->table, "t");
    EXPECT_TRUE(back.options.csv.timestamps && back.options.csv.fields);
    EXPECT_TRUE(serviceOptions(command.options, {"--port", "8", "--save", "w"}).error);

    // A service an earlier version installed has it all on its command line.
    const ParsedOptions earlier = parseOptions({"--service", "--port", "7", "--save", "C:\\old"});
    ASSERT_FALSE(earlier.error) << *earlier.error;
    EXPECT_EQ(serviceOptions(earlier.options, {}).options.save, "C:\\old");
}

TEST(Service, OptionsThatCannotWorkAreRefused) {
    struct Case {
        std::vector<std::string> args;
        const char* says; // nullptr: accepted
    };
    for (const Case& c : {
             Case{{"--install-service", "--port", "3", "--save", "w"}, nullptr},
             Case{{"--remove-service", "3"}, nullptr},
             Case{{"--service", "--port", "3", "--save", "w"}, nullptr},
             Case{{"--service", "--port", "3"}, nullptr},
             Case{{"--install-service", "--save", "w"}, "--install-service needs --port N"},
             Case{{"--install-service", "--port", "3"}, "--install-service needs --save NAME"},
             Case{{"--service", "--save", "w"}, "--service needs --port N"},
             Case{{"--install-service", "--port", "0", "--save", "w"}, "not '0'"},
             Case{{"--remove-service", "0"}, "not '0'"},
             Case{{"--remove-service", "COM3"}, "not 'COM3'"},
             Case{{"--remove-service", "3", "--port", "3"}, "--remove-service takes only the port"},
             Case{{"--service-account", "x", "--save", "w"}, "goes with --install-service"},
             Case{{"--headless", "--install-service", "--port", "3", "--save", "w"},
                  "go one at a time"},
         }) {
        const ParsedOptions parsed = parseOptions(c.args);
        if (c.says == nullptr)
            EXPECT_FALSE(parsed.error) << c.args[0] << ": " << parsed.error.value_or("");
        else
            EXPECT_NE(parsed.error.value_or("").find(c.says), std::string::npos)
                << c.args[0] << ": " << parsed.error.value_or("(accepted)");
    }
    EXPECT_TRUE(answerCommandLine({"--remove-service", "3"}, "k", {}).isError);
    EXPECT_TRUE(answerCommandLine({"--remove-service", "3"}, "k", {.service = true}).start);
}

} // namespace
