#pragma once

#include "capture/Capture.h"
#include "support/FakePort.h"
#include "support/TempDir.h"

#include <string>

namespace kelmor::test {

using namespace kelmor::capture;

// The capture core with a fake port, storing under a name in a fresh folder.
struct CaptureRig {
    TempDir dir;
    FakePort port;
    Capture capture;
    std::string base;

    explicit CaptureRig(const std::string& name = "log") : base(dir / name) {}

    // One communication event bringing these bytes.
    MaybeError event(const std::string& chunk) {
        port.incoming = chunk;
        return capture.onComm(port, base);
    }
    MaybeError tick() { return capture.onTick(port, base); }
    std::string txt() const { return readFile(base + ".txt"); }
    std::string csv() const { return readFile(base + ".csv"); }
};

} // namespace kelmor::test
