#include "support/QtSupport.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

namespace kelmor::test {

bool spinUntil(const std::function<bool()>& condition, int timeoutMs) {
    if (condition())
        return true;
    // A real event loop, as the program runs it: it sleeps until something
    // happens, and the condition is looked at every millisecond.
    QEventLoop loop;
    bool met = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition()) {
            met = true;
            loop.quit();
        }
    });
    check.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return met || condition();
}

void spinFor(int ms) {
    // A real event loop that sleeps when idle, so that CPU use measured
    // meanwhile is the program's own.
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QFileDialog* waitForSaveDialog() {
    QFileDialog* dialog = nullptr;
    spinUntil([&] {
        dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        return dialog != nullptr;
    });
    return dialog;
}

bool answerSaveDialog(QFileDialog& dialog, const std::string& name) {
    if (name.empty()) {
        dialog.reject();
        return true;
    }
    auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (edit == nullptr)
        return false;
    edit->setText(QString::fromStdString(name));
    static_cast<QDialog&>(dialog).accept(); // QFileDialog::accept reads fileNameEdit
    return true;
}

} // namespace kelmor::test
