#pragma once

#include "app/CaptureNames.h"
#include "app/CommandLine.h"
#include "app/ErrorQueue.h"
#include "app/Face.h"
#include "app/MSComm.h"
#include "app/PortText.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kelmor::app {

// What a start of capture does with a port that cannot be opened.
enum class MissingPort {
    Report,           // say so once; "Save As" tries again
    RetryEverySecond, // say so once and try again every second, as with a lost port
};

// The one window's behaviour, without a toolkit: the four handlers, the
// capture state, the serial control and the errors. A face owns one, draws
// it, and forwards its events to it.
class Form1 {
public:
    static constexpr int TimerPeriodMs = 100;
    static constexpr const char* InitialPortText = "Comm 3";

    explicit Form1(Face face);
    ~Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // The whole start, however the program was started: Form_Load, the
    // port from --port, the window shown, then with --save capture as if
    // the name had been confirmed, retrying a port that is not there yet.
    void start(const Options& options);

    void Form_Load();
    void cmdGetData_Click();
    void MSComm1_OnComm();
    void Timer1_Timer();

    // A slice of background work (a CSV rewrite), run between events when
    // asked for through TimerView::runSoon.
    void backgroundSlice();

    // The user closed the error on screen.
    void errorDismissed() { errors_.dismissed(); }

    // "Save As" without the dialog: the name (if any) as if confirmed, then
    // the timer and the port.
    void startCapture(const std::optional<std::string>& name, MissingPort whenMissing);

    // The longest a stop waits for a CSV rewrite in hand: within what a
    // service manager allows a service at shutdown.
    static constexpr std::chrono::seconds StopLimit{15};
    // The program is ending: the port closes on purpose, and a CSV rewrite
    // in hand is finished, so that every acknowledged record is in both
    // files. One that cannot finish within `limit` leaves the CSV file as it
    // was, complete, is said, and is finished at the next start. `stillGoing`
    // runs between slices (a service tells its manager it is still stopping).
    void endCapture(std::chrono::steady_clock::duration limit = StopLimit,
                    const std::function<void()>& stillGoing = {});

    // What the face may show or a test may look at; nothing here is changed
    // from outside but through the handlers.
    const Capture& capture() const { return capture_; }
    const std::string& fileName() const { return FileName; }
    const MSComm& comm() const { return MSComm1; }
    const ErrorQueue& errors() const { return errors_; }

private:
    void reopenPort(MissingPort whenMissing);
    void finishCsv(std::chrono::steady_clock::duration limit,
                   const std::function<void()>& stillGoing);
    // The port list's text, or in a face without one, the command line's port.
    std::string currentPortText() const;
    void setPortText(const std::string& text);
    // The database follows the capture file and hears of every store.
    void followInDatabase();
    void storesMade(std::uint64_t before);
    void report(const MaybeError& error);
    void scheduleBackgroundWork();

    Face face_;
    ErrorQueue errors_;
    // CommonDialog1's FileName property: the last confirmed name, raw
    // bytes, empty before the first.
    std::string FileName;
    MSComm MSComm1;
    Capture capture_;
    bool sliceAsked_ = false;
    std::string portText_ = InitialPortText;
    std::unique_ptr<database::Writer> database_;
    // The capture file and port the database follows.
    struct Followed {
        std::string captureFile;
        int port = 0;
        bool operator==(const Followed&) const = default;
    } followed_;
};

} // namespace kelmor::app
