#include "MainWindow.h"
#include "Version.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelmor-csv"));
    QApplication::setApplicationVersion(QStringLiteral(KELMOR_VERSION));
    QApplication::setOrganizationName(QStringLiteral(KELMOR_PRODUCT));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kelmor-csv-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/kelmor-csv-32.png"), QSize(32, 32));
    QApplication::setWindowIcon(icon);

    kelmor::qt::MainWindow window;
    window.load();
    window.show();
    return QApplication::exec();
}
