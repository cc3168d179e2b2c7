#include "database/Writer.h"

#include "Odbc.h"
#include "Sender.h"
#include "platform/System.h"

#include <filesystem>
#include <thread>
#include <utility>

namespace kelmor::database {

namespace {

namespace fs = std::filesystem;

// A serial line brings a few dozen records a second: this many of them go
// in one commit, at the cost of a row reaching the table that much later.
constexpr auto Gather = std::chrono::milliseconds(300);
constexpr auto EndWait = std::chrono::seconds(3);

} // namespace

struct Writer::Impl {
    // Shared with the thread, which may outlive this object on a frozen server.
    std::shared_ptr<Outbox> outbox = std::make_shared<Outbox>();
    std::shared_ptr<odbc::OdbcTable> table;
    std::thread thread;
};

Writer::Writer(Settings settings) : impl_(std::make_unique<Impl>()) {
    impl_->table = std::make_shared<odbc::OdbcTable>(settings.connection, settings.table);
    impl_->thread =
        std::thread([outbox = impl_->outbox, table = impl_->table, settings = std::move(settings)] {
            platform::yieldToTheLine();
            Sender(*outbox, *table, settings, platform::hostName).run(Gather);
        });
}

Writer::~Writer() {
    Outbox& outbox = *impl_->outbox;
    std::unique_lock guard(outbox.lock);
    outbox.stop = true;
    outbox.wake.notify_all();
    const auto done = [&] { return outbox.finished; };
    if (!outbox.ended.wait_for(guard, std::chrono::milliseconds(200), done)) {
        // A statement under way is given up. The cancel itself may wait on a
        // frozen server, so it never runs on this thread.
        std::thread([table = impl_->table] { table->cancel(); }).detach();
        outbox.ended.wait_for(guard, EndWait, done);
    }
    const bool finished = outbox.finished;
    guard.unlock();
    if (finished)
        impl_->thread.join();
    else
        impl_->thread.detach(); // it holds its own share of what it uses
}

void Writer::follow(const std::string& captureFile, const std::string& port) {
    std::error_code ec;
    const auto size = fs::file_size(captureFile, ec);
    std::optional<Mark> durable;
    if (!ec) {
        durable = Mark{size, Clock::now(), true};
        if (const auto modified = fs::last_write_time(captureFile, ec); !ec)
            durable->when = std::chrono::time_point_cast<Clock::duration>(
                std::chrono::file_clock::to_sys(modified));
    } else if (ec == std::errc::no_such_file_or_directory) {
        durable = Mark{0, Clock::now()}; // a new file: nothing in it yet
    }
    // Otherwise its size is not known now: the first store says it.
    impl_->outbox->follow(captureFile, port, durable);
}

void Writer::stored(std::uint64_t size, Clock::time_point when) {
    impl_->outbox->stored(Mark{size, when});
}

std::vector<std::string> Writer::takeMessages() {
    Outbox& outbox = *impl_->outbox;
    const std::lock_guard guard(outbox.lock);
    return std::exchange(outbox.messages, {});
}

} // namespace kelmor::database
