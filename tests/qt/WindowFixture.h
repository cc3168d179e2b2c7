#pragma once

#include "QtWindow.h"
#include "support/Pty.h"
#include "support/QtSupport.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace kelmor::test {

using namespace kelmor::capture;

// Waits for an ACK from the program on this pseudo-terminal and takes it out
// of what has been read so far.
inline bool awaitAck(Pty& pty, std::string& seen, int timeoutMs = 5000) {
    const bool got = spinUntil(
        [&] { return (seen += pty.read()).find('\x06') != std::string::npos; }, timeoutMs);
    if (got)
        seen.erase(seen.find('\x06'), 1);
    return got;
}

// Runs while the modal save dialog is open: does whatever the test needs
// with the dialog on screen, then confirms the name (or cancels).
inline void whenDialogOpens(const std::function<void()>& meanwhile, const std::string& name) {
    QTimer::singleShot(0, [meanwhile, name] {
        QFileDialog* dialog = waitForSaveDialog();
        ASSERT_NE(dialog, nullptr);
        if (meanwhile)
            meanwhile();
        ASSERT_TRUE(answerSaveDialog(*dialog, name));
    });
}

class WindowFixture : public testing::Test {
protected:
    void SetUp() override {
        guardPorts(config.path());
        bindPort(config.path(), 3, pty.slavePath());
        window.start({});
    }

    void saveAs(const std::string& name, const std::function<void()>& meanwhile = {}) {
        whenDialogOpens(meanwhile, name);
        window.findChild<QPushButton*>(QStringLiteral("cmdGetData"))->click();
    }

    QComboBox* combo() { return window.findChild<QComboBox*>(QStringLiteral("Combo1")); }

    // Sends a record and waits for its ACK.
    bool sendRecord(const std::string& bytes) {
        pty.write(bytes);
        return awaitAck(pty, acks);
    }

    QString errorText() {
        QMessageBox* box = window.errorBox();
        // Without the break points long paths get for wrapping.
        return box ? box->text().remove(QChar(0x200B)) : QString();
    }

    TempDir config;
    ScopedEnv configHome{"XDG_CONFIG_HOME", config.path()};
    TempDir out;
    Pty pty;
    qt::QtWindow window;
    const app::Form1& form() const { return window.form(); }
    std::string acks;
};

} // namespace kelmor::test
