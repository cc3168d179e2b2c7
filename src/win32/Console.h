#pragma once

#include <string>

namespace kelmor::win32 {

// A windowed program has no console of its own: writes to the standard
// output or error it was given, else to the console it was started from.
// False when there is neither, or the write failed.
bool writeToConsole(const std::string& text, bool error);
// Attaches to the console the program was started from, where it has no
// standard error: then Ctrl+C in that console reaches it.
void attachToConsole();

} // namespace kelmor::win32
