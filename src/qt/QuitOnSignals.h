#pragma once

#include <QObject>

#include <optional>
#include <string>

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
    // Why no handler could be set up; then a signal would end the program on
    // the spot, so the program must not start.
    const std::optional<std::string>& failure() const { return failure_; }
    ~QuitOnSignals() override;
    QuitOnSignals(const QuitOnSignals&) = delete;
    QuitOnSignals& operator=(const QuitOnSignals&) = delete;

private:
    QSocketNotifier* notifier_ = nullptr;
    std::optional<std::string> failure_;
};

} // namespace kelmor::qt
