#include "QtWindow.h"

#include "QtSerialDriver.h"
#include "app/Layout.h"
#include "app/PortNaming.h"
#include "app/PortText.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace kelmor::qt {

namespace {

namespace layout = app::layout;

QRect twipsRect(const layout::Control& c) {
    return {app::twipsToPixels(c.left), app::twipsToPixels(c.top), app::twipsToPixels(c.width),
            app::twipsToPixels(c.height)};
}

// The layout was drawn for a narrow bitmap font. The platform's sans-serif is
// used at the same sizes, made smaller only where a text would be cut off.
QFont boldFont(const layout::Control& c) {
    QFont font;
    font.setFamily(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    const QString text = QString::fromLatin1(c.widest);
    font.setPointSizeF(layout::fittedPoints(c, [&](double points, int width, int height) {
        font.setPointSizeF(points);
        const QFontMetricsF metrics(font);
        return metrics.horizontalAdvance(text) <= width && metrics.height() <= height;
    }));
    return font;
}

template <typename Widget> Widget* place(Widget* widget, const layout::Control& c) {
    widget->setObjectName(QString::fromLatin1(c.name));
    widget->setGeometry(twipsRect(c));
    widget->setFont(boldFont(c));
    return widget;
}

// The port list names each item's device in its tooltip, read afresh each
// time the list opens, so that a link made meanwhile shows at once.
class PortList final : public QComboBox {
public:
    using QComboBox::QComboBox;

    void describePorts() {
        for (int i = 0; i < count(); ++i) {
            const app::PortNumber port = app::portFromText(itemText(i).toStdString());
            if (!port.error)
                setItemData(i, QString::fromStdString(app::describePort(port.port)),
                            Qt::ToolTipRole);
        }
    }

    void showPopup() override {
        describePorts();
        QComboBox::showPopup();
    }
};

// Qt's dialog reads a name with a double quote as a list of names ("a"b"
// would become b). A name is used as typed.
class SaveDialog final : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    std::optional<QString> typedName() const { return typed_; }
    void forget() { typed_.reset(); }

    void accept() override {
        auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        const QString text = edit != nullptr ? edit->text() : QString();
        if (text.contains(QLatin1Char('"'))) {
            const QString path = QDir(directory()).absoluteFilePath(text);
            if (!QFileInfo(path).isDir()) {
                typed_ = path;
                QDialog::accept();
                return;
            }
        }
        QFileDialog::accept();
    }

private:
    std::optional<QString> typed_;
};

} // namespace

QtWindow::QtWindow(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QString::fromLatin1(layout::Caption));
    setFixedSize(app::twipsToPixels(layout::ClientWidth), app::twipsToPixels(layout::ClientHeight));

    Label1 = place(new QLabel(QString::fromLatin1(layout::Label1.text), this), layout::Label1);
    Label2 = place(new QLabel(QString::fromLatin1(layout::Label2.text), this), layout::Label2);
    for (QLabel* label : {Label1, Label2})
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Combo1 = new PortList(this);
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    place(Combo1, layout::Combo1);

    cmdGetData = place(new QPushButton(QString::fromLatin1(layout::cmdGetData.text), this),
                       layout::cmdGetData);
    // Return and Enter press the focused button, as on Windows.
    cmdGetData->setAutoDefault(true);

    // Labels take no focus; the port list comes first, then the button.
    setTabOrder(Combo1, cmdGetData);

    CommonDialog1 = new SaveDialog(this);
    CommonDialog1->setObjectName(QStringLiteral("CommonDialog1"));
    CommonDialog1->setAcceptMode(QFileDialog::AcceptSave);
    CommonDialog1->setFileMode(QFileDialog::AnyFile);
    // Capture appends, so a "replace?" question would be untrue. Qt's own
    // dialog behaves the same on every desktop and can be driven in tests.
    CommonDialog1->setOptions(QFileDialog::DontConfirmOverwrite | QFileDialog::DontUseNativeDialog);

    const auto makeDriver = [](app::DriverEvents& events) {
        return std::make_unique<QtSerialDriver>(events); // owned by Form1 alone, no Qt parent
    };
    form_ = std::make_unique<app::Form1>(app::Face{timers_, *this, makeDriver, this, this, this});
    timers_.drive(*form_);
    connect(cmdGetData, &QPushButton::clicked, this, [this] { form_->cmdGetData_Click(); });
}

QtWindow::~QtWindow() {
    // The drivers are children of this window: the form goes first.
    form_.reset();
}

void QtWindow::addPort(const std::string& item) {
    Combo1->addItem(QString::fromStdString(item));
    static_cast<PortList*>(Combo1)->describePorts();
}

std::string QtWindow::portText() const {
    return Combo1->currentText().toStdString();
}

void QtWindow::setPortText(const std::string& text) {
    Combo1->setEditText(QString::fromStdString(text));
}

std::optional<std::string> QtWindow::askFileName() {
    auto* dialog = static_cast<SaveDialog*>(CommonDialog1);
    dialog->forget();
    if (dialog->exec() != QDialog::Accepted)
        return std::nullopt;
    QString name;
    if (const auto typed = dialog->typedName())
        name = *typed;
    else if (!dialog->selectedFiles().isEmpty())
        name = dialog->selectedFiles().constFirst();
    else
        return std::nullopt;
    return QFile::encodeName(name).toStdString();
}

void QtWindow::showError(const std::string& text) {
    auto* box =
        new QMessageBox(QMessageBox::Critical, windowTitle(),
                        QString::fromLocal8Bit(app::wrappableText(text)), QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("ErrorBox"));
    box->setDefaultButton(QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The next error shows once the user has closed this one, from the event
    // loop, not from inside the box's own signal.
    connect(
        box, &QDialog::finished, this, [this] { form_->errorDismissed(); }, Qt::QueuedConnection);
    box_ = box;
    // open(), not exec(): no event loop runs inside the caller's handler.
    box->open();
}

app::TwipsSize QtWindow::screenSize() const {
    const QScreen* screen = this->screen();
    if (screen == nullptr)
        return outerSize();
    return {app::pixelsToTwips(screen->geometry().width()),
            app::pixelsToTwips(screen->geometry().height())};
}

app::TwipsSize QtWindow::outerSize() const {
    return {app::pixelsToTwips(frameGeometry().width()),
            app::pixelsToTwips(frameGeometry().height())};
}

void QtWindow::moveTo(const app::TwipsPoint& origin) {
    const QPoint screenOrigin = screen() != nullptr ? screen()->geometry().topLeft() : QPoint();
    move(screenOrigin.x() + app::twipsToPixels(origin.left),
         screenOrigin.y() + app::twipsToPixels(origin.top));
}

} // namespace kelmor::qt
