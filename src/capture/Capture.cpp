#include "capture/Capture.h"

#include "capture/Framing.h"

namespace kelmor::capture {

void Capture::clean(std::string& text) {
    for (char& ch : text) {
        const auto code = static_cast<unsigned char>(ch);
        if (ch == framing::STX)
            ch = framing::CR;
        else if (code < 0x20 || code > framing::Highest)
            ch = framing::Space;
    }
}

void Capture::release(std::string& text) {
    // A flood without ETX leaves a huge buffer behind: give it back.
    if (text.capacity() > KeptCapacity)
        std::string().swap(text);
    else
        text.clear();
}

MaybeError Capture::onComm(SerialLink& port, const std::string& baseName) {
    IdleTicks = 0;
    const std::size_t seen = RxBuffer.size();
    RxBuffer += port.input();

    // Earlier characters have lost their FS already and hold no ETX (a buffer
    // with an ETX never outlives its event), so only the new ones are scanned.
    bool complete = false;
    for (std::size_t i = seen; i < RxBuffer.size(); ++i) {
        if (RxBuffer[i] == framing::FS) {
            RxBuffer[i] = framing::Space;
            rxSeparators_.push_back({i, Separator::Kind::Fs});
        } else if (RxBuffer[i] == framing::ETX) {
            complete = true;
            rxSeparators_.push_back({i, Separator::Kind::Etx});
        }
    }
    if (complete) {
        clean(RxBuffer);
        for (Separator& s : rxSeparators_)
            s.at += waiting_.size();
        waitingSeparators_.insert(waitingSeparators_.end(), rxSeparators_.begin(),
                                  rxSeparators_.end());
        rxSeparators_ = {};
        waiting_ += RxBuffer;
        release(RxBuffer);
    }
    if (waiting_.empty())
        return std::nullopt;
    return storeWaiting(port, baseName);
}

MaybeError Capture::onTick(SerialLink& port, const std::string& baseName) {
    MaybeError err;
    if (!waiting_.empty() && ++retryCount_ >= RetryTicks)
        err = storeWaiting(port, baseName);
    files_.syncJournal();

    if (IdleTicks > IdleThreshold) {
        // Never acknowledge while a record is not on disk.
        if (waiting_.empty() && port.isOpen())
            port.output(std::string_view(&framing::ACK, 1));
        IdleTicks = 0;
    } else {
        ++IdleTicks;
    }
    return err;
}

MaybeError Capture::storeWaiting(SerialLink& port, const std::string& baseName) {
    retryCount_ = 0;
    // The ACK goes out as soon as the text is durably in the capture file,
    // before any CSV work: it tells the device it may forget the record.
    const auto acknowledge = [&port] {
        if (port.isOpen())
            port.output(std::string_view(&framing::ACK, 1));
    };
    StoreResult result =
        files_.store(waiting_, baseName, acknowledge, CsvSliceBudget, waitingSeparators_);
    if (!result.stored())
        return result.storeError;
    release(waiting_);
    waitingSeparators_ = {};
    ++stores_;
    captureSize_ = result.captureSize;
    lastStoreUtcMs_ = result.storedUtcMs;
    return result.csvError;
}

} // namespace kelmor::capture
