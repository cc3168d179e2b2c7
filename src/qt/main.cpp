#include "HeadlessFace.h"
#include "MainWindow.h"
#ifndef _WIN32
#include "QuitOnSignals.h"
#endif
#include "app/CommandLine.h"
#include "app/Version.h"

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* Program = "kelmor-csv";

void describeApplication() {
    QCoreApplication::setApplicationName(QString::fromLatin1(Program));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELMOR_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral(KELMOR_PRODUCT));
}

int runHeadless(int argc, char* argv[], const kelmor::app::Options& options) {
    QCoreApplication application(argc, argv);
    describeApplication();
#ifndef _WIN32
    kelmor::qt::QuitOnSignals quit;
#endif
    kelmor::qt::HeadlessFace face;
    face.start(options);
    const int code = QCoreApplication::exec();
    face.endCapture();
    return code;
}

int runWindow(int argc, char* argv[], const kelmor::app::Options& options) {
    QApplication application(argc, argv);
    describeApplication();
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kelmor-csv-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/kelmor-csv-32.png"), QSize(32, 32));
    QApplication::setWindowIcon(icon);

#ifndef _WIN32
    kelmor::qt::QuitOnSignals quit;
#endif
    kelmor::qt::MainWindow window;
    window.load();
    if (options.portText)
        window.setPortText(*options.portText);
    window.show();
    if (options.save)
        window.startCapture(options.save);
    const int code = QApplication::exec();
    window.endCapture();
    return code;
}

} // namespace

int main(int argc, char* argv[]) {
    // Options first: --help, --version and option errors need no display.
    const std::vector<std::string> args(argv + 1, argv + argc);
    const kelmor::app::ParsedOptions parsed = kelmor::app::parseOptions(args);
    if (parsed.error) {
        std::fprintf(stderr, "%s: %s\n", Program, parsed.error->c_str());
        return kelmor::app::UsageExitCode;
    }
    const kelmor::app::Options& options = parsed.options;
    if (options.help) {
        std::fputs(kelmor::app::usage(Program).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(kelmor::app::versionText().c_str(), stdout);
        return 0;
    }
    if (options.headless)
        return runHeadless(argc, argv, options);
    return runWindow(argc, argv, options);
}
