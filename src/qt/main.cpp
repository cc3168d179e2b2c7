#include "QtHeadless.h"
#include "QtWindow.h"
#ifndef _WIN32
#include "QuitOnSignals.h"
#endif
#include "app/CommandLine.h"
#include "app/Version.h"

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr const char* Program = "kelmor-csv";

// Without a display the toolkit would abort the program.
bool displayAvailable() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return true;
    }
    return false;
#else
    return true;
#endif
}

void describeApplication() {
    QCoreApplication::setApplicationName(QString::fromLatin1(Program));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELMOR_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral(KELMOR_PRODUCT));
}

// Captures until the event loop ends (a signal, or the window closed), then
// closes the port on purpose. Without the signal handlers a signal would end
// the program on the spot, a record half stored: then it does not start.
template <typename Face> int capture(const kelmor::app::Options& options) {
#ifndef _WIN32
    kelmor::qt::QuitOnSignals quit;
    if (quit.failure()) {
        std::fprintf(stderr, "%s: cannot handle SIGTERM, SIGINT and SIGHUP: %s\n", Program,
                     quit.failure()->c_str());
        return kelmor::app::UsageExitCode;
    }
#endif
    Face face;
    face.start(options);
    const int code = QCoreApplication::exec();
    face.endCapture();
    return code;
}

// The toolkit sees the program's name only: a name given to --save such as
// "-platform" must never be taken for one of its own options.
int runHeadless(char* program, const kelmor::app::Options& options) {
    int argc = 1;
    QCoreApplication application(argc, &program);
    describeApplication();
    return capture<kelmor::qt::QtHeadless>(options);
}

int runWindow(char* program, const kelmor::app::Options& options) {
    int argc = 1;
    QApplication application(argc, &program);
    describeApplication();
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kelmor-csv-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/kelmor-csv-32.png"), QSize(32, 32));
    QApplication::setWindowIcon(icon);
    return capture<kelmor::qt::QtWindow>(options);
}

} // namespace

int main(int argc, char* argv[]) {
    // Options first: --help, --version and option errors need no display.
    const std::vector<std::string> args(argv + 1, argv + argc);
#ifdef _WIN32
    const char* withoutService = "this build has no service; the native Windows build has";
#else
    const char* withoutService = "services are for Windows; here capture at every boot with "
                                 "systemctl --user enable --now kelmor-csv@N (see "
                                 "docs/unattended.md)";
#endif
    const kelmor::app::CommandLineAnswer answer =
        kelmor::app::answerCommandLine(args, Program, {.withoutService = withoutService});
    if (!answer.start) {
        std::fputs(answer.text.c_str(), answer.isError ? stderr : stdout);
        return answer.exitCode;
    }
    if (answer.start->mode == kelmor::app::RunMode::Headless)
        return runHeadless(argv[0], *answer.start);
    if (!displayAvailable()) {
        std::fprintf(stderr,
                     "%s: the window needs a display (DISPLAY or WAYLAND_DISPLAY); without one, "
                     "use --headless --save NAME\n",
                     Program);
        return kelmor::app::UsageExitCode;
    }
    return runWindow(argv[0], *answer.start);
}
