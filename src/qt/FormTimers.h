#pragma once

#include "app/Face.h"
#include "app/Form1.h"

#include <QObject>
#include <QTimer>

namespace kelmor::qt {

// Timer1, whose ticks run Timer1_Timer, and a zero timer for the background
// slices, which runs once the events that wait have been handled: the timer
// part of both Qt faces.
class FormTimers final : public app::TimerView {
public:
    FormTimers() {
        Timer1.setObjectName(QStringLiteral("Timer1"));
        Timer1.setTimerType(Qt::PreciseTimer);
        slices_.setSingleShot(true);
        slices_.setInterval(0);
    }

    // The form that the timers drive, once it exists.
    void drive(app::Form1& form) {
        QObject::connect(&Timer1, &QTimer::timeout, [&form] { form.Timer1_Timer(); });
        QObject::connect(&slices_, &QTimer::timeout, [&form] { form.backgroundSlice(); });
    }

    void startTicking(int periodMs) override { Timer1.start(periodMs); }
    void runSoon() override { slices_.start(); }

private:
    QTimer Timer1;
    QTimer slices_;
};

} // namespace kelmor::qt
