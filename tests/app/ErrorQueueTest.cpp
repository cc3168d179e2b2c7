#include "app/ErrorQueue.h"
#include "app/HeadlessErrors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::app;

namespace {

struct Screen : ErrorView {
    std::vector<std::string> shown;
    void showError(const std::string& text) override { shown.push_back(text); }
};

TEST(ErrorQueue, OneAtATimeEachOnceInOrder) {
    Screen screen;
    ErrorQueue queue(screen);
    queue.report("A");
    queue.report("A"); // on screen: not again
    queue.report("B"); // a different one waits
    queue.report("B");
    queue.report("C");
    EXPECT_EQ(screen.shown, (std::vector<std::string>{"A"}));
    queue.dismissed();
    EXPECT_EQ(screen.shown, (std::vector<std::string>{"A", "B"}));
    queue.dismissed();
    EXPECT_EQ(screen.shown, (std::vector<std::string>{"A", "B", "C"}));
    queue.dismissed();
    EXPECT_FALSE(queue.showing());
}

// A retry that fails the same way every second: the user saw it once.
TEST(ErrorQueue, ASeenErrorComesBackAfterASuccessOrAMinute) {
    Screen screen;
    ErrorQueue::Clock::time_point now{};
    ErrorQueue queue(screen, [&] { return now; });
    queue.report("A");
    queue.dismissed();
    now += std::chrono::seconds(59);
    queue.report("A");
    EXPECT_FALSE(queue.showing());
    queue.report("B");
    EXPECT_EQ(screen.shown.back(), "B") << "another text is not held";
    queue.dismissed();
    now += std::chrono::seconds(1);
    queue.report("A");
    EXPECT_EQ(screen.shown.back(), "A") << "a minute after it was closed";
    queue.dismissed();
    queue.report("B");
    EXPECT_EQ(screen.shown.back(), "A");
    queue.somethingWorked();
    queue.report("B");
    EXPECT_EQ(screen.shown.back(), "B") << "news again once something worked";
}

// A port that comes and goes every few seconds: the log takes its loss once
// a minute, however often it came back between.
TEST(ErrorQueue, ASystemLogTakesTheSameTextOnceAMinute) {
    Screen log;
    ErrorQueue::Clock::time_point now{};
    ErrorQueue queue(
        log, [&] { return now; }, ErrorQueue::Repeats::AfterQuietTime);
    queue.report("lost");
    queue.dismissed();
    queue.somethingWorked();
    now += std::chrono::seconds(30);
    queue.report("lost");
    queue.report("other");
    queue.dismissed();
    EXPECT_EQ(log.shown, (std::vector<std::string>{"lost", "other"}));
    now += std::chrono::seconds(30);
    queue.report("lost");
    EXPECT_EQ(log.shown.back(), "lost");
}

TEST(ErrorQueue, OneLineEscapesControlCharacters) {
    EXPECT_EQ(oneLine("a\nb\r\tc\x01\x7F é"), "a\\nb\\r\\tc\\x01\\x7F é");
}

TEST(ErrorQueue, AtMostTwentyWait) {
    Screen screen;
    ErrorQueue queue(screen);
    for (int i = 0; i <= 30; ++i)
        queue.report(Error{"E", std::to_string(i), ""});
    EXPECT_EQ(queue.waiting().size(), ErrorQueue::MaxWaiting);
    for (int i = 0; i < 30; ++i)
        queue.dismissed();
    EXPECT_EQ(screen.shown.size(), 1 + ErrorQueue::MaxWaiting);
}

TEST(ErrorQueue, LongRunsGetBreakPointsAndKeepTheirCharacters) {
    const std::string path = "/home/user/" + std::string(120, 'x') + "/é中文/log.txt";
    const std::string wrapped = wrappableText("Cannot open \"" + path + "\": denied");
    std::string plain = wrapped;
    for (std::size_t at; (at = plain.find("\xE2\x80\x8B")) != std::string::npos;)
        plain.erase(at, 3);
    EXPECT_EQ(plain, "Cannot open \"" + path + "\": denied");
    std::size_t run = 0;
    std::size_t longest = 0;
    for (std::size_t i = 0; i < wrapped.size(); ++i) {
        const bool cut = wrapped.compare(i, 3, "\xE2\x80\x8B") == 0 || wrapped[i] == ' ';
        run = cut ? 0 : run + 1;
        longest = std::max(longest, run);
    }
    EXPECT_LE(longest, 48u * 3) << "bytes between break points";
    EXPECT_EQ(wrappableText("short text"), "short text");
}

} // namespace

TEST(HeadlessErrors, ALineTheChannelRefusesGoesToTheLogNeverThroughALink) {
    test::TempDir dir;
    bool channelTakes = true;
    std::vector<std::string> written;
    app::HeadlessErrorView view(
        [&](const std::string& line) {
            written.push_back(line);
            return channelTakes;
        },
        [&] { return dir / "w"; });
    app::ErrorQueue queue(view, app::ErrorQueue::Clock::now,
                          app::ErrorQueue::Repeats::AfterSuccessOrQuietTime, false);
    queue.report("first\nerror");
    queue.report("second"); // printed: no OK is waited for
    EXPECT_EQ(written, (std::vector<std::string>{"first\\nerror", "second"}));
    EXPECT_FALSE(test::exists(dir / "w.log"));

    channelTakes = false; // no console, or a reader gone
    queue.report("third");
    EXPECT_NE(test::readFile(dir / "w.log").find(" third"), std::string::npos);
    EXPECT_EQ(view.last(), "third");
#ifndef _WIN32
    std::filesystem::remove(dir / "w.log");
    test::writeFile(dir / "elsewhere", "kept");
    std::filesystem::create_symlink(dir / "elsewhere", dir / "w.log");
    queue.report("fourth");
    EXPECT_EQ(test::readFile(dir / "elsewhere"), "kept");
#endif
}
