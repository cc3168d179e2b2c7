#pragma once

#include "app/CaptureNames.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <string>

namespace kelmor::app {

// Where a face shows an error: a box, a line on standard error. It must not
// block: the caller is a handler, and capture goes on behind the error.
class ErrorView {
public:
    virtual void showError(const std::string& text) = 0;

protected:
    ~ErrorView() = default;
};

// One error on screen at a time. An error already on screen or waiting is not
// queued again, and at most MaxWaiting wait, so a runaway fault cannot grow
// the queue. An error the user has seen (a store retried every second fails
// the same way each time) comes back only once something has worked since,
// or after QuietTime. A face that prints errors counts a line printed as a
// box closed at once. A system log (the Windows event log) takes the same
// text at most once a QuietTime, whatever worked in between: a port that
// comes and goes must not fill it.
class ErrorQueue {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t MaxWaiting = 20;
    static constexpr std::chrono::seconds QuietTime{60};
    enum class Repeats { AfterSuccessOrQuietTime, AfterQuietTime };

    explicit ErrorQueue(ErrorView& view, std::function<Clock::time_point()> now = Clock::now,
                        Repeats repeats = Repeats::AfterSuccessOrQuietTime, bool needsOk = true)
        : view_(view), now_(std::move(now)), repeats_(repeats), needsOk_(needsOk) {}

    void report(const Error& error) { report(error.text()); }
    void report(const std::string& text);
    // The user closed the error on screen: the next one shows.
    void dismissed();
    // A store or an open worked: errors seen before may be news again.
    void somethingWorked() {
        if (repeats_ == Repeats::AfterSuccessOrQuietTime)
            seen_.clear();
    }

    bool showing() const { return !shown_.empty(); }
    const std::deque<std::string>& waiting() const { return waiting_; }

private:
    ErrorView& view_;
    std::function<Clock::time_point()> now_;
    Repeats repeats_;
    bool needsOk_;
    std::string shown_; // empty while no error shows; an error's text never is
    std::deque<std::string> waiting_;
    std::map<std::string, Clock::time_point> seen_; // when each was dismissed
};

// The text on one line: control characters (a newline in a file name) are
// written as escapes, \n, \r, \t or \xNN.
std::string oneLine(const std::string& text);

// The text as a box shows it: a run of more than maxRun characters without a
// space (a long path) gets invisible break points after its separators, or
// every maxRun characters, so the box can wrap it instead of growing wider
// than the screen. UTF-8 in, UTF-8 out.
std::string wrappableText(const std::string& text, std::size_t maxRun = 48);

} // namespace kelmor::app
