#include "app/ErrorQueue.h"

#include <algorithm>

namespace kelmor::app {

void ErrorQueue::report(const std::string& text) {
    if ((showing() && text == shown_) ||
        std::find(waiting_.begin(), waiting_.end(), text) != waiting_.end())
        return;
    const Clock::time_point now = now_();
    std::erase_if(seen_, [&](const auto& entry) { return now - entry.second >= QuietTime; });
    if (seen_.contains(text))
        return;
    if (showing()) {
        if (waiting_.size() < MaxWaiting)
            waiting_.push_back(text);
        return;
    }
    shown_ = text;
    view_.showError(text);
    if (!needsOk_) // a line printed is a box closed at once
        dismissed();
}

void ErrorQueue::dismissed() {
    if (showing())
        seen_[shown_] = now_();
    shown_.clear();
    if (waiting_.empty())
        return;
    std::string next = std::move(waiting_.front());
    waiting_.pop_front();
    report(next);
}

std::string oneLine(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto code = static_cast<unsigned char>(ch);
        switch (ch) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (code < 0x20 || code == 0x7F) {
                out += "\\x";
                out += hex[code >> 4];
                out += hex[code & 0xF];
            } else {
                out += ch;
            }
        }
    }
    return out;
}

std::string wrappableText(const std::string& text, std::size_t maxRun) {
    static const std::string ZeroWidthSpace = "\xE2\x80\x8B";
    std::string out;
    std::size_t run = 0;
    bool breakDue = false;
    for (char ch : text) {
        // A break goes before a character's first byte, never inside it.
        const bool continuation = (static_cast<unsigned char>(ch) & 0xC0) == 0x80;
        if (breakDue && !continuation) {
            out += ZeroWidthSpace;
            breakDue = false;
            run = 0;
        }
        out += ch;
        if (ch == ' ' || ch == '\n') {
            run = 0;
            breakDue = false;
        } else if (!continuation) {
            ++run;
            breakDue = (run > maxRun / 2 && (ch == '/' || ch == '\\')) || run >= maxRun;
        }
    }
    return out;
}

} // namespace kelmor::app
