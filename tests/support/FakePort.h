#pragma once

#include "capture/SerialLink.h"

#include <functional>
#include <string>

namespace kelmor::test {

using namespace kelmor::capture;

// A serial line whose input the test fills and whose output it reads.
struct FakePort : SerialLink {
    std::string incoming;
    std::string written;
    bool open = true;
    // Runs at every write, before it is recorded.
    std::function<void()> onOutput;

    std::string input() override {
        std::string bytes;
        bytes.swap(incoming);
        return bytes;
    }
    void output(std::string_view bytes) override {
        if (onOutput)
            onOutput();
        written += bytes;
    }
    bool isOpen() const override { return open; }

    std::size_t acks() const {
        std::size_t n = 0;
        for (char ch : written)
            n += ch == 0x06;
        return n;
    }
};

} // namespace kelmor::test
