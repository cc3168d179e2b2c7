#pragma once

#include <string>

namespace kelmor::win32 {

// A windowed program has no console of its own: writes to the standard
// output or error it was given, else to the console it was started from.
// False when there is neither, or the write failed.
bool writeToConsole(const std::string& text, bool error);

} // namespace kelmor::win32
