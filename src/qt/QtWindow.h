#pragma once

#include "FormTimers.h"
#include "app/Face.h"
#include "app/Form1.h"

#include <QMessageBox>
#include <QPointer>
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
class QtWindow final : public QWidget,
                         public app::PortListView,
                         public app::SaveDialogView,
                         public app::ErrorView,
                         public app::WindowView {
    Q_OBJECT

public:
    explicit QtWindow(QWidget* parent = nullptr);
    ~QtWindow() override;

    // See Form1::start; the window shows from there.
    void start(const app::Options& options) { form_->start(options); }
    void endCapture() { form_->endCapture(); }

    const app::Form1& form() const { return *form_; }
    // The error box on screen, if any.
    QMessageBox* errorBox() const { return box_; }

private:
    void addPort(const std::string& item) override;
    std::string portText() const override;
    void setPortText(const std::string& text) override;
    std::optional<std::string> askFileName() override;
    void showError(const std::string& text) override;
    app::TwipsSize screenSize() const override;
    app::TwipsSize outerSize() const override;
    void moveTo(const app::TwipsPoint& origin) override;
    void show() override { QWidget::show(); }

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* Combo1 = nullptr;
    QPushButton* cmdGetData = nullptr;
    QFileDialog* CommonDialog1 = nullptr;
    FormTimers timers_;
    QPointer<QMessageBox> box_;
    std::unique_ptr<app::Form1> form_;
};

} // namespace kelmor::qt
