#pragma once

#include "support/Pty.h"
#include "support/QtSupport.h"
#include "support/TempDir.h"
#include "window/ErrorReporter.h"
#include "window/Form1.h"

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

// Runs while the modal save dialog is open: does whatever the test needs
// with the dialog on screen, then confirms the name (or cancels).
inline void whenDialogOpens(const std::function<void()>& meanwhile, const std::string& name) {
    QTimer::singleShot(0, [meanwhile, name] {
        QFileDialog* dialog = nullptr;
        spinUntil([&] {
            dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            return dialog != nullptr;
        });
        ASSERT_NE(dialog, nullptr);
        if (meanwhile)
            meanwhile();
        if (name.empty()) {
            dialog->reject();
            return;
        }
        auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(edit, nullptr);
        edit->setText(QString::fromStdString(name));
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept reads fileNameEdit
    });
}

class FormFixture : public testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        bindPort(config.path(), 3, pty.slavePath());
        form.Form_Load();
        form.show();
    }

    void saveAs(const std::string& name, const std::function<void()>& meanwhile = {}) {
        whenDialogOpens(meanwhile, name);
        form.findChild<QPushButton*>(QStringLiteral("cmdGetData"))->click();
    }

    QComboBox* combo() { return form.findChild<QComboBox*>(QStringLiteral("Combo1")); }

    // Sends a record and waits for its ACK.
    bool sendRecord(const std::string& bytes) {
        pty.write(bytes);
        return spinUntil([&] { return (acks += pty.read()).find('\x06') != std::string::npos; }) &&
               (acks.erase(acks.find('\x06'), 1), true);
    }

    QString errorText() {
        QMessageBox* box = form.errors().box();
        return box ? box->text() : QString();
    }

    TempDir config;
    TempDir out;
    Pty pty;
    Form1 form;
    std::string acks;
};

} // namespace kelmor::test
