#pragma once

#include "app/Face.h"
#include "app/Form1.h"

#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QFileDialog;
class QLabel;
class QPushButton;

namespace kelmor::qt {

// The Qt face of Form1: the window, its controls, the save dialog, the timer
// and the error box. It draws and forwards; Form1 decides.
class MainWindow final : public QWidget,
                         public app::PortListView,
                         public app::SaveDialogView,
                         public app::TimerView,
                         public app::ErrorView,
                         public app::WindowView {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Form_Load: before the window is first shown.
    void load() { form_->Form_Load(); }
    // The command line's start, see Form1::startCapture: a port that is not
    // there yet is tried again every second.
    void startCapture(const std::optional<std::string>& name) { form_->startCapture(name, true); }
    void endCapture() { form_->endCapture(); }
    void setPortText(const std::string& text) override;

    const app::Form1& form() const { return *form_; }
    // The error box on screen, if any.
    QMessageBox* errorBox() const { return box_; }

private:
    void addPort(const std::string& item) override;
    std::string portText() const override;
    std::optional<std::string> askFileName() override;
    void startTicking(int periodMs) override;
    void runSoon() override { slices_.start(); }
    void showError(const std::string& text) override;
    app::TwipsSize screenSize() const override;
    app::TwipsSize outerSize() const override;
    void moveTo(const app::TwipsPoint& origin) override;

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* Combo1 = nullptr;
    QPushButton* cmdGetData = nullptr;
    QFileDialog* CommonDialog1 = nullptr;
    QTimer Timer1;
    // Background work between events: a zero timer runs once the events that
    // wait have been handled.
    QTimer slices_;
    QPointer<QMessageBox> box_;
    std::unique_ptr<app::Form1> form_;
};

} // namespace kelmor::qt
