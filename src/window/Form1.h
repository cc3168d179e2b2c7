#pragma once

#include "capture/Capture.h"
#include "capture/Error.h"
#include "serial/MSComm.h"

#include <QTimer>
#include <QWidget>

#include <string>

class QComboBox;
class QFileDialog;
class QLabel;
class QPushButton;

namespace kelmor {

class ErrorReporter;

// The save-file dialog and the last name the user confirmed in it.
struct CommonDialog {
    QFileDialog* dialog = nullptr;
    // Raw bytes as the file system takes them; empty until first confirmed.
    std::string FileName;
};

// The one window: port list, "Save As", and the capture behind them.
class Form1 : public QWidget {
    Q_OBJECT

public:
    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    void Form_Load();
    void cmdGetData_Click();
    void MSComm1_OnComm();
    void Timer1_Timer();

    Capture& captureState() { return capture_; }
    MSComm& comm() { return MSComm1; }
    const std::string& fileName() const { return CommonDialog1.FileName; }
    ErrorReporter& errors() { return *errors_; }

private:
    void report(const MaybeError& err);

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* Combo1 = nullptr;
    QPushButton* cmdGetData = nullptr;
    CommonDialog CommonDialog1;
    QTimer Timer1;
    MSComm MSComm1;

    Capture capture_;
    ErrorReporter* errors_ = nullptr;
};

} // namespace kelmor
