#include "window/Form1.h"

#include "serial/PortNaming.h"
#include "serial/PortOpening.h"
#include "serial/PortText.h"
#include "window/ErrorReporter.h"
#include "window/Geometry.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace kelmor {

namespace {

constexpr const char* Caption = "KELMOR CSV File Creator";
constexpr int ClientWidthTwips = 4320;
constexpr int ClientHeightTwips = 1305;
constexpr int TimerPeriodMs = 100;
constexpr int PortCount = 15;

QRect twipsRect(int left, int top, int width, int height) {
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

// The layout was drawn for a narrow bitmap font. The platform's sans-serif is
// used at the same sizes, and only where a text would be cut off is it made
// smaller until it fits its box.
QFont boldFont(const QString& text, const QSize& box, double points) {
    QFont font;
    font.setFamily(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    constexpr double Smallest = 6.0;
    for (double size = points; size >= Smallest; size -= 0.25) {
        font.setPointSizeF(size);
        const QFontMetricsF metrics(font);
        if (metrics.horizontalAdvance(text) <= box.width() && metrics.height() <= box.height())
            break;
    }
    return font;
}

// The port list names each item's device in its tooltip, read afresh each
// time the list opens, so that a link made meanwhile shows at once.
class PortList : public QComboBox {
public:
    using QComboBox::QComboBox;

    void describePorts() {
        for (int i = 0; i < count(); ++i) {
            const PortNumber port = portFromText(itemText(i).toStdString());
            if (!port.error)
                setItemData(i, describePort(port.port), Qt::ToolTipRole);
        }
    }

    void showPopup() override {
        describePorts();
        QComboBox::showPopup();
    }
};

} // namespace

Form1::Form1(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QString::fromLatin1(Caption));
    setFixedSize(twipsToPixels(ClientWidthTwips), twipsToPixels(ClientHeightTwips));

    Label1 = new QLabel(QStringLiteral("KELMOR File Creator 1.10"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twipsRect(120, 120, 4095, 735));
    Label1->setFont(boldFont(Label1->text(), Label1->size(), 18));

    Label2 = new QLabel(QStringLiteral("Comm Port"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(twipsRect(120, 840, 975, 255));
    Label2->setFont(boldFont(Label2->text(), Label2->size(), 8.25));

    for (QLabel* label : {Label1, Label2})
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Combo1 = new PortList(this);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->setGeometry(twipsRect(1080, 840, 1215, 315));
    // The text box inside the list is narrower than the list: leave room for
    // the arrow.
    Combo1->setFont(boldFont(QStringLiteral("Comm 15"), Combo1->size() - QSize(24, 4), 8.25));
    Combo1->setEditText(QStringLiteral("Comm 3"));

    cmdGetData = new QPushButton(QStringLiteral("Save As"), this);
    cmdGetData->setObjectName(QStringLiteral("cmdGetData"));
    cmdGetData->setGeometry(twipsRect(2400, 720, 1815, 495));
    cmdGetData->setFont(boldFont(cmdGetData->text(), cmdGetData->size() - QSize(8, 8), 8.25));
    connect(cmdGetData, &QPushButton::clicked, this, &Form1::cmdGetData_Click);

    // Labels take no focus; the port list comes first, then the button.
    setTabOrder(Combo1, cmdGetData);

    CommonDialog1.dialog = new QFileDialog(this);
    CommonDialog1.dialog->setObjectName(QStringLiteral("CommonDialog1"));
    CommonDialog1.dialog->setAcceptMode(QFileDialog::AcceptSave);
    CommonDialog1.dialog->setFileMode(QFileDialog::AnyFile);
    // Capture appends, so a "replace?" question would be untrue. Qt's own
    // dialog behaves the same on every desktop and can be driven in tests.
    CommonDialog1.dialog->setOptions(QFileDialog::DontConfirmOverwrite |
                                     QFileDialog::DontUseNativeDialog);

    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setTimerType(Qt::PreciseTimer);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);

    MSComm1.setObjectName(QStringLiteral("MSComm1"));
    connect(&MSComm1, &MSComm::OnComm, this, &Form1::MSComm1_OnComm);

    errors_ = new ErrorReporter(this);
}

Form1::~Form1() = default;

void Form1::Form_Load() {
    QScreen* screen = this->screen();
    if (screen != nullptr) {
        const QRect available = screen->geometry();
        const QRect frame = frameGeometry();
        const TwipsPoint origin =
            centredOrigin(pixelsToTwips(available.width()), pixelsToTwips(available.height()),
                          pixelsToTwips(frame.width()), pixelsToTwips(frame.height()));
        move(available.x() + static_cast<int>(origin.left / TwipsPerPixel),
             available.y() + static_cast<int>(origin.top / TwipsPerPixel));
    }

    for (int i = 1; i <= PortCount; ++i)
        Combo1->addItem(QStringLiteral("Comm %1").arg(i));
    static_cast<PortList*>(Combo1)->describePorts();
    Combo1->setEditText(QStringLiteral("Comm 3"));
}

void Form1::cmdGetData_Click() {
    QFileDialog* dialog = CommonDialog1.dialog;
    // Communication events and timer ticks go on while the dialog is open.
    if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty())
        CommonDialog1.FileName =
            QFile::encodeName(dialog->selectedFiles().constFirst()).toStdString();

    Timer1.start(TimerPeriodMs);

    // A typo in the port text must not stop a capture that is running.
    const PortNumber port = portFromText(Combo1->currentText().toStdString());
    if (port.error) {
        report(port.error);
        return;
    }
    // Take every byte already received before the port closes.
    if (MSComm1.PortOpen())
        MSComm1_OnComm();
    report(reopenPort(MSComm1, port.port));
}

void Form1::MSComm1_OnComm() {
    report(capture_.onComm(MSComm1, CommonDialog1.FileName));
    report(MSComm1.takeError());
}

void Form1::Timer1_Timer() {
    report(capture_.onTick(MSComm1, CommonDialog1.FileName));
}

void Form1::report(const MaybeError& err) {
    if (err)
        errors_->report(QString::fromLocal8Bit(err->text()));
}

} // namespace kelmor
