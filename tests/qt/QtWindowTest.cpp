#include "WindowFixture.h"
#include "support/Pty.h"
#include "support/QtSupport.h"
#include "support/ReferenceCsv.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <unistd.h>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;

namespace {

using QtWindow = WindowFixture;

TEST_F(QtWindow, WindowMatchesTheLayout) {
    EXPECT_EQ(window.windowTitle(), QStringLiteral("KELMOR CSV File Creator"));
    EXPECT_EQ(window.size(), QSize(288, 87));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    struct Control {
        const char* name;
        QRect rect;
        const char* text;
        double points;
    };
    for (const Control c : {Control{"Label1", {8, 8, 273, 49}, "KELMOR File Creator 1.10", 18},
                            Control{"Label2", {8, 56, 65, 17}, "Comm Port", 8.25},
                            Control{"Combo1", {72, 56, 81, 21}, "Comm 3", 8.25},
                            Control{"cmdGetData", {160, 48, 121, 33}, "Save As", 8.25}}) {
        auto* w = window.findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_EQ(w->geometry(), c.rect) << c.name;
        EXPECT_TRUE(w->font().bold()) << c.name;
        // The given size, or smaller only where the text would not fit.
        EXPECT_LE(w->font().pointSizeF(), c.points) << c.name;
        QString text;
        if (auto* label = qobject_cast<QLabel*>(w))
            text = label->text();
        else if (auto* box = qobject_cast<QComboBox*>(w))
            text = box->currentText();
        else if (auto* button = qobject_cast<QPushButton*>(w))
            text = button->text();
        EXPECT_EQ(text.toStdString(), c.text);
        if (qobject_cast<QLabel*>(w)) {
            EXPECT_LE(w->fontMetrics().horizontalAdvance(text), w->width())
                << c.name << " is cut off";
            if (w->font().pointSizeF() < c.points) {
                QFont given = w->font();
                given.setPointSizeF(c.points);
                EXPECT_GT(QFontMetrics(given).horizontalAdvance(text), w->width()) << c.name;
            }
        }
    }
    // Tab goes from the port list (and its own line edit) to the button.
    QWidget* next = combo()->nextInFocusChain();
    while (next != nullptr && next->parentWidget() == combo())
        next = next->nextInFocusChain();
    EXPECT_EQ(next, window.findChild<QWidget*>(QStringLiteral("cmdGetData")));
}

TEST_F(QtWindow, PortListHoldsFifteenItemsWithTheirDevices) {
    ASSERT_EQ(combo()->count(), 15);
    EXPECT_EQ(combo()->itemText(0), QStringLiteral("Comm 1"));
    EXPECT_EQ(combo()->itemText(14), QStringLiteral("Comm 15"));
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(combo()->itemText(i), QStringLiteral("Comm %1").arg(i + 1));
    EXPECT_EQ(combo()->currentText(), QStringLiteral("Comm 3"));
    EXPECT_NE(combo()
                  ->itemData(2, Qt::ToolTipRole)
                  .toString()
                  .indexOf(QString::fromStdString(pty.slavePath())),
              -1);
    EXPECT_TRUE(combo()
                    ->itemData(0, Qt::ToolTipRole)
                    .toString()
                    .contains(QStringLiteral("points nowhere")));
}

TEST_F(QtWindow, TooltipsFollowLinksMadeWhileRunning) {
    Pty adapter;
    bindPort(config.path(), 9, adapter.slavePath());
    EXPECT_TRUE(combo()
                    ->itemData(8, Qt::ToolTipRole)
                    .toString()
                    .contains(QStringLiteral("points nowhere")));
    combo()->showPopup();
    combo()->hidePopup();
    EXPECT_TRUE(combo()
                    ->itemData(8, Qt::ToolTipRole)
                    .toString()
                    .contains(QString::fromStdString(adapter.slavePath())));
}

TEST_F(QtWindow, SaveAsThenARecordLandsInBothFilesAndIsAcknowledged) {
    saveAs(out / "log");
    EXPECT_EQ(form().fileName(), out / "log");
    ASSERT_TRUE(form().comm().PortOpen());
    ASSERT_TRUE(sendRecord("\2A\34B\x03"));
    EXPECT_EQ(readFile(out / "log.txt"), "\rA B ");
    EXPECT_EQ(readFile(out / "log.csv"), "\"\"\r\n\"A B \"\r\n");
    EXPECT_EQ(errorText(), QString());
}

TEST_F(QtWindow, CancelStillStartsCaptureIntoTheCurrentFolder) {
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(out.path());
    saveAs("");
    EXPECT_EQ(form().fileName(), "");
    EXPECT_TRUE(form().comm().PortOpen());
    const bool acked = sendRecord("\2Z\x03");
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(acked);
    EXPECT_EQ(readFile(out / ".txt"), "\rZ ");
    EXPECT_EQ(readFile(out / ".csv"), referenceCsv("\rZ "));
}

TEST_F(QtWindow, SecondSaveAsKeepsCapturingAndKeepsTheHalfRecord) {
    saveAs(out / "first");
    ASSERT_TRUE(form().comm().PortOpen());
    bool ackedDuringDialog = false;
    saveAs(out / "second", [&] {
        // Still the old name while the dialog is open.
        ackedDuringDialog = sendRecord("\2OLD\x03");
        pty.write("\2HA");
        spinUntil([&] { return form().capture().rxBuffer() == "\2HA"; });
    });
    EXPECT_TRUE(ackedDuringDialog);
    EXPECT_EQ(readFile(out / "first.txt"), "\rOLD ");
    ASSERT_TRUE(form().comm().PortOpen());
    ASSERT_TRUE(sendRecord("LF\x03"));
    EXPECT_EQ(readFile(out / "second.txt"), "\rHALF ");
    EXPECT_EQ(readFile(out / "second.csv"), "\"\"\r\n\"HALF \"\r\n");
    EXPECT_EQ(readFile(out / "first.txt"), "\rOLD ");
}

TEST_F(QtWindow, Comm12OpensItsOwnLink) {
    Pty twelve;
    bindPort(config.path(), 12, twelve.slavePath());
    combo()->setCurrentIndex(11);
    saveAs(out / "twelve");
    ASSERT_TRUE(form().comm().PortOpen());
    EXPECT_EQ(form().comm().CommPort(), 12);
    twelve.write("\x02"
                 "12\x03");
    std::string got;
    ASSERT_TRUE(awaitAck(twelve, got));
    EXPECT_EQ(readFile(out / "twelve.txt"), "\r12 ");
}

TEST_F(QtWindow, BadPortTextIsReportedAndCaptureGoesOn) {
    saveAs(out / "log");
    ASSERT_TRUE(form().comm().PortOpen());
    combo()->setEditText(QStringLiteral("COM4"));
    saveAs(out / "log");
    EXPECT_TRUE(form().comm().PortOpen());
    EXPECT_TRUE(errorText().startsWith(QStringLiteral("Type mismatch \"COM4\"")))
        << errorText().toStdString();
    // The box is not modal to capture: records still go to disk.
    ASSERT_TRUE(sendRecord("\2X\x03"));
    EXPECT_EQ(readFile(out / "log.txt"), "\rX ");

    QMessageBox* box = window.errorBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), window.windowTitle());
    EXPECT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Ok));
}

TEST_F(QtWindow, MissingDeviceIsReportedAndTheWindowLivesOn) {
    bindPort(config.path(), 5, config / "unplugged");
    combo()->setEditText(QStringLiteral("Comm 5"));
    saveAs(out / "log");
    EXPECT_FALSE(form().comm().PortOpen());
    EXPECT_TRUE(errorText().contains(QStringLiteral("Cannot open port")));
    EXPECT_TRUE(errorText().contains(QStringLiteral("kelmor-csv/com5")));
}

TEST_F(QtWindow, ADifferentErrorWaitsAndShowsOnceTheBoxIsClosed) {
    combo()->setEditText(QStringLiteral("COM4"));
    saveAs(out / "log");
    combo()->setEditText(QStringLiteral("Comm 5")); // its link points nowhere
    saveAs(out / "log");
    EXPECT_TRUE(errorText().startsWith(QStringLiteral("Type mismatch")));
    window.errorBox()->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(spinUntil([&] {
        return errorText().startsWith(QStringLiteral("Cannot open port"));
    })) << errorText().toStdString();
}

TEST_F(QtWindow, StoreErrorsReachTheUserOnceAndNothingIsLost) {
    saveAs(out / "missing/log");
    pty.write("\2A\x03");
    ASSERT_TRUE(spinUntil([&] { return !errorText().isEmpty(); }));
    EXPECT_TRUE(errorText().startsWith(QStringLiteral("Cannot open the capture file")));
    EXPECT_TRUE(pty.read().empty());
    // The same fault again is not stacked behind the box on screen.
    pty.write("\2B\x03");
    ASSERT_TRUE(spinUntil([&] { return form().capture().waiting().size() == 6; }));
    EXPECT_TRUE(form().errors().waiting().empty());

    std::filesystem::create_directory(out / "missing");
    ASSERT_TRUE(awaitAck(pty, acks));
    EXPECT_EQ(readFile(out / "missing/log.txt"), "\rA \rB ");
}

TEST_F(QtWindow, IdleAckThroughTheRealTimer) {
    saveAs(out / "log");
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(awaitAck(pty, acks, 15000));
    const double seconds = clock.elapsed() / 1000.0;
    RecordProperty("first_idle_ack_seconds", std::to_string(seconds));
    // 52 ticks of 100 ms; a timer may be late but never early.
    EXPECT_GE(seconds, 5.0);
}

TEST_F(QtWindow, ReturnAndEnterPressTheFocusedButton) {
    auto* button = window.findChild<QPushButton*>(QStringLiteral("cmdGetData"));
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        const std::string name = out / ("key" + std::to_string(key));
        whenDialogOpens({}, name);
        button->setFocus();
        QTest::keyClick(button, key);
        EXPECT_EQ(form().fileName(), name);
    }
}

TEST_F(QtWindow, NameWithAQuoteIsUsedAsTyped) {
    saveAs(out / "a\"b");
    EXPECT_EQ(form().fileName(), out / "a\"b");
    ASSERT_TRUE(sendRecord("\2Q\x03"));
    EXPECT_EQ(readFile(out / "a\"b.txt"), "\rQ ");
}

TEST_F(QtWindow, ErrorBoxForAVeryLongPathFitsA1024By768Screen) {
    saveAs(out / ("missing/" + std::string(300, 'n')));
    pty.write("\2A\x03");
    ASSERT_TRUE(spinUntil([&] { return window.errorBox() != nullptr; }));
    QMessageBox* box = window.errorBox();
    ASSERT_TRUE(spinUntil([&] { return box->isVisible(); }));
    EXPECT_LE(box->width(), 1024);
    EXPECT_LE(box->height(), 768);
}

} // namespace
