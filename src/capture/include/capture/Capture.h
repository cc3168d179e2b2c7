#pragma once

#include "capture/CaptureFiles.h"
#include "capture/Error.h"
#include "capture/SerialLink.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelmor::capture {

// The capture state and the two things that change it: a communication event
// and a timer tick. Owned by Form1; everything runs on the window's thread.
class Capture {
public:
    // Idle ticks above this send an ACK.
    static constexpr int IdleThreshold = 50;
    // While a stored text waits for the disk, a quiet line retries this often.
    static constexpr int RetryTicks = 10;
    // The longest a CSV rewrite holds up the line at a time: well below the
    // time a record takes to arrive, so that its ACK is never held back long.
    static constexpr CaptureFiles::Clock::duration CsvSliceBudget = std::chrono::microseconds(500);

    explicit Capture(
        std::size_t csvBlockSize = CaptureFiles::BlockSize,
        std::function<CaptureFiles::Clock::time_point()> now = CaptureFiles::Clock::now)
        : files_(csvBlockSize, std::move(now)) {}

    // One communication event: take what waits on the port and, once an ETX
    // has arrived, clean the buffer, store it and acknowledge it. Returns the
    // error the user should see, if any.
    [[nodiscard]] MaybeError onComm(SerialLink& port, const std::string& baseName);

    // One timer tick: the idle acknowledgement, and the retry of a waiting
    // store.
    [[nodiscard]] MaybeError onTick(SerialLink& port, const std::string& baseName);

    // Whether the CSV file waits for more of a rewrite, and one slice of it,
    // to be run between events.
    bool csvPending() const { return files_.csvPending(); }
    // The next store tries a CSV file that could not be written again at once.
    void retryCsvSoon() { files_.retryCsvSoon(); }
    [[nodiscard]] MaybeError csvSlice(CaptureFiles::Clock::duration budget = CsvSliceBudget) {
        return files_.csvSlice(budget);
    }
    // With no line to serve (the program ending), a slice may be longer.
    static constexpr CaptureFiles::Clock::duration StopSliceBudget = std::chrono::milliseconds(200);

    // Characters received and not yet part of a completed record.
    const std::string& rxBuffer() const { return RxBuffer; }
    // Timer ticks since the last communication event.
    int idleTicks() const { return IdleTicks; }
    // How many stores have succeeded, and the capture file's size, durably,
    // after the last.
    std::uint64_t stores() const { return stores_; }
    std::uint64_t captureSize() const { return captureSize_; }
    // Cleaned text that could not be stored yet; never acknowledged.
    const std::string& waiting() const { return waiting_; }
    // When the last store became durable, in milliseconds since 1970, UTC.
    std::int64_t lastStoreUtcMs() const { return lastStoreUtcMs_; }

    // How the CSV file shows each line.
    void setCsvOptions(CsvOptions options) { files_.setCsvOptions(options); }
    // The program ends: the journal is made durable and records the CSV file.
    [[nodiscard]] MaybeError finish() { return files_.finish(); }
    // What the journal beside the capture file had to say, each once.
    std::vector<Error> takeNotices() { return files_.takeNotices(); }

private:
    // STX becomes CR; every other byte below 0x20 or above 'z' becomes a space.
    static void clean(std::string& text);
    // Empties a buffer, giving back the memory of a large one.
    static void release(std::string& text);
    static constexpr std::size_t KeptCapacity = 64 << 10;

    MaybeError storeWaiting(SerialLink& port, const std::string& baseName);

    std::string RxBuffer;
    int IdleTicks = 0;
    // Kept apart from RxBuffer: it is already cleaned, and cleaning twice
    // would turn the CR from an STX into a space.
    std::string waiting_;
    // Where the device sent FS and ETX, in RxBuffer and in waiting_.
    std::vector<Separator> rxSeparators_;
    std::vector<Separator> waitingSeparators_;
    std::int64_t lastStoreUtcMs_ = 0;
    int retryCount_ = 0;
    std::uint64_t stores_ = 0;
    std::uint64_t captureSize_ = 0;
    CaptureFiles files_;
};

} // namespace kelmor::capture
