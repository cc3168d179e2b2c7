#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QWidget;

namespace kelmor {

// Shows errors one box at a time without blocking: the box opens and the
// caller returns at once, so capture goes on behind it. An error already on
// screen or waiting is not queued again.
class ErrorReporter : public QObject {
    Q_OBJECT

public:
    explicit ErrorReporter(QWidget* window);

    void report(const QString& message);

    // The box now on screen, if any.
    QMessageBox* box() const { return box_; }
    const QStringList& queued() const { return queued_; }

private:
    void showNext();

    QWidget* window_ = nullptr;
    QPointer<QMessageBox> box_;
    QString shown_;
    QStringList queued_;
};

} // namespace kelmor
