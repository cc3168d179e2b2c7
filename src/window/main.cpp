#include "window/Form1.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelmor-csv"));

    kelmor::Form1 form;
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
