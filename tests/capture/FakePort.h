#pragma once

#include "serial/SerialLink.h"

#include <string>

namespace kelmor::test {

// A serial line whose input the test fills and whose output it reads.
struct FakePort : SerialLink {
    std::string incoming;
    std::string written;
    bool open = true;

    std::string input() override {
        std::string bytes;
        bytes.swap(incoming);
        return bytes;
    }
    void output(std::string_view bytes) override { written += bytes; }
    bool isOpen() const override { return open; }

    std::size_t acks() const {
        std::size_t n = 0;
        for (char ch : written)
            n += ch == 0x06;
        return n;
    }
};

} // namespace kelmor::test
