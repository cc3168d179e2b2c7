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

// Captures until the event loop ends (a signal, or the window closed), then
// closes the port on purpose.
template <typename Face> int capture(Face& face, const kelmor::app::Options& options) {
    face.start(options);
    const int code = QCoreApplication::exec();
    face.endCapture();
    return code;
}

int runHeadless(int argc, char* argv[], const kelmor::app::Options& options) {
    QCoreApplication application(argc, argv);
    describeApplication();
#ifndef _WIN32
    kelmor::qt::QuitOnSignals quit;
#endif
    kelmor::qt::HeadlessFace face;
    return capture(face, options);
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
    return capture(window, options);
}

} // namespace

int main(int argc, char* argv[]) {
    // Options first: --help, --version and option errors need no display.
    const std::vector<std::string> args(argv + 1, argv + argc);
    const kelmor::app::CommandLineAnswer answer =
        kelmor::app::answerCommandLine(args, Program, {.headless = true});
    if (!answer.start) {
        std::fputs(answer.text.c_str(), answer.isError ? stderr : stdout);
        return answer.exitCode;
    }
    if (answer.start->headless)
        return runHeadless(argc, argv, *answer.start);
    return runWindow(argc, argv, *answer.start);
}
