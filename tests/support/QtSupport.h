#pragma once

#include <functional>

namespace kelmor::test {

// Runs the event loop until the condition holds or the time is up.
bool spinUntil(const std::function<bool()>& condition, int timeoutMs = 5000);
// Runs the event loop for a while, polling nothing.
void spinFor(int ms);

} // namespace kelmor::test
