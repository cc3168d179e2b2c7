#pragma once

#include "capture/Error.h"

#include <chrono>
#include <cstddef>
#include <deque>
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
// the queue.
class ErrorQueue {
public:
    static constexpr std::size_t MaxWaiting = 20;

    explicit ErrorQueue(ErrorView& view) : view_(view) {}

    void report(const Error& error) { report(error.text()); }
    void report(const std::string& text);
    // The user closed the error on screen: the next one shows.
    void dismissed();

    bool showing() const { return !shown_.empty(); }
    const std::deque<std::string>& waiting() const { return waiting_; }

private:
    ErrorView& view_;
    std::string shown_; // empty while no error shows; an error's text never is
    std::deque<std::string> waiting_;
};

// For a face that prints errors instead of showing a box: a line printed is
// as good as a box closed at once, so the same text printed again within the
// window is held back (a vanished folder is retried every second).
class RepeatFilter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds Window{60};

    // Whether to print the text now.
    bool pass(const std::string& text, Clock::time_point now);

private:
    std::map<std::string, Clock::time_point> printed_;
};

// The text as a box shows it: a run of more than maxRun characters without a
// space (a long path) gets invisible break points after its separators, or
// every maxRun characters, so the box can wrap it instead of growing wider
// than the screen. UTF-8 in, UTF-8 out.
std::string wrappableText(const std::string& text, std::size_t maxRun = 48);

} // namespace kelmor::app
