#pragma once

#include <functional>
#include <string>

class QFileDialog;

namespace kelmor::test {

// Runs the event loop until the condition holds or the time is up.
bool spinUntil(const std::function<bool()>& condition, int timeoutMs = 5000);
// Runs the event loop for a while, polling nothing.
void spinFor(int ms);

// The modal save dialog, once it is open (nullptr if it never opens); and
// the name typed into it and confirmed, or with no name, the dialog
// cancelled. False if the dialog has no name field.
QFileDialog* waitForSaveDialog();
[[nodiscard]] bool answerSaveDialog(QFileDialog& dialog, const std::string& name);

} // namespace kelmor::test
