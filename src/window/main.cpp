#include "window/Form1.h"
#include "window/Version.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelmor-csv"));
    QApplication::setApplicationVersion(QStringLiteral(KELMOR_VERSION));
    QApplication::setOrganizationName(QStringLiteral(KELMOR_PRODUCT));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kelmor-csv-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/kelmor-csv-32.png"), QSize(32, 32));
    QApplication::setWindowIcon(icon);

    kelmor::Form1 form;
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
