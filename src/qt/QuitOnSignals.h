#pragma once

#include <QObject>

class QSocketNotifier;

namespace kelmor::qt {

// SIGTERM, SIGINT and SIGHUP quit the event loop instead of killing the
// program on the spot: the event in hand finishes, then main closes the port
// (and with it the port's lock file) and exits 0. One that was ignored when
// the program started (nohup) stays ignored, and SIGPIPE is ignored: a
// message nobody reads any more must not end capture.
class QuitOnSignals final : public QObject {
public:
    explicit QuitOnSignals(QObject* parent = nullptr);
    ~QuitOnSignals() override;
    QuitOnSignals(const QuitOnSignals&) = delete;
    QuitOnSignals& operator=(const QuitOnSignals&) = delete;

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace kelmor::qt
