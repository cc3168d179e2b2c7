#include "app/Form1.h"

#include "app/PortText.h"

#include <utility>

namespace kelmor::app {

Form1::Form1(Face face)
    : face_(std::move(face)),
      errors_(face_.errors, face_.now, face_.errorRepeats, face_.errorsNeedOk),
      MSComm1(face_.makeDriver, [this] { MSComm1_OnComm(); }),
      capture_(CaptureFiles::BlockSize, face_.now) {
    if (face_.portList != nullptr)
        face_.portList->setPortText(InitialPortText);
}

std::string Form1::currentPortText() const {
    return face_.portList != nullptr ? face_.portList->portText() : portText_;
}

void Form1::setPortText(const std::string& text) {
    portText_ = text;
    if (face_.portList != nullptr)
        face_.portList->setPortText(text);
}

void Form1::Form_Load() {
    if (face_.window != nullptr)
        face_.window->moveTo(centredOrigin(face_.window->screenSize(), face_.window->outerSize()));
    if (face_.portList != nullptr) {
        // A toolkit may show the first item it is given; the text stays.
        const std::string text = face_.portList->portText();
        for (int i = 1; i <= PortCount; ++i)
            face_.portList->addPort(portText(i));
        face_.portList->setPortText(text);
    }
}

Form1::~Form1() = default;

void Form1::start(const Options& options) {
    if (options.database)
        database_ = std::make_unique<database::Writer>(*options.database);
    capture_.setCsvOptions(options.csv);
    Form_Load();
    if (options.port)
        setPortText(portText(*options.port));
    if (face_.window != nullptr)
        face_.window->show();
    if (options.save)
        startCapture(options.save, MissingPort::RetryEverySecond);
}

void Form1::cmdGetData_Click() {
    // Communication events and timer ticks go on while the dialog is open.
    std::optional<std::string> name;
    if (face_.dialog != nullptr)
        name = face_.dialog->askFileName();
    startCapture(name, MissingPort::Report);
}

void Form1::startCapture(const std::optional<std::string>& name, MissingPort whenMissing) {
    if (name)
        FileName = *name;
    // A CSV file that could not be written is tried again at the next store.
    capture_.retryCsvSoon();
    face_.timer.startTicking(TimerPeriodMs);
    reopenPort(whenMissing);
    followInDatabase();
}

void Form1::followInDatabase() {
    if (!database_)
        return;
    Followed now{deriveNames(FileName).TxtName, MSComm1.CommPort()};
    if (now != followed_) {
        followed_ = now;
        database_->follow(now.captureFile, portText(now.port));
    }
}

void Form1::storesMade(std::uint64_t before) {
    if (capture_.stores() == before)
        return;
    errors_.somethingWorked();
    if (database_ && capture_.captureSize() > 0) // 0: the size could not be read
        database_->stored(capture_.captureSize(),
                          database::Writer::Clock::time_point(
                              std::chrono::milliseconds(capture_.lastStoreUtcMs())));
}

void Form1::reopenPort(MissingPort whenMissing) {
    // A typo in the port text must not stop a capture that is running.
    const PortNumber port = portFromText(currentPortText());
    if (port.error) {
        report(port.error);
        return;
    }
    const bool running = MSComm1.PortOpen();
    const bool samePort = port.port == MSComm1.CommPort();
    // Take every byte already received before the port closes.
    if (running)
        MSComm1_OnComm();

    if ((running || MSComm1.reconnecting()) && !samePort) {
        // Another port: it must open before the one in use is given up, be
        // it capturing or being won back.
        if (MaybeError err = MSComm1.switchTo(port.port)) {
            const std::string current = portText(MSComm1.CommPort());
            err->reason += running ? "; capture goes on on " + current
                                   : "; still trying " + current + " every second";
            report(err);
        } else {
            errors_.somethingWorked();
        }
        return;
    }
    const bool wasLost = MSComm1.reconnecting(); // this very port, being won back
    if (running)
        MSComm1.close();
    MSComm1.setCommPort(port.port);
    if (MaybeError err = MSComm1.open()) {
        if (running || wasLost) {
            // The port that was capturing is gone: win it back as a lost one.
            err->what = "Lost the connection to port";
            whenMissing = MissingPort::RetryEverySecond;
        }
        if (whenMissing == MissingPort::RetryEverySecond) {
            err->reason += "; trying again every second";
            MSComm1.startReconnecting();
        }
        report(err);
    } else {
        errors_.somethingWorked();
    }
}

void Form1::MSComm1_OnComm() {
    const auto stores = capture_.stores();
    report(capture_.onComm(MSComm1, FileName));
    storesMade(stores);
    for (const Error& error : MSComm1.takeErrors())
        report(error);
    scheduleBackgroundWork();
}

void Form1::Timer1_Timer() {
    const auto stores = capture_.stores();
    report(capture_.onTick(MSComm1, FileName));
    storesMade(stores);
    const bool open = MSComm1.PortOpen();
    MSComm1.tick();
    if (!open && MSComm1.PortOpen())
        errors_.somethingWorked();
    if (database_)
        for (const std::string& message : database_->takeMessages())
            errors_.report(message);
    scheduleBackgroundWork();
}

void Form1::endCapture(std::chrono::steady_clock::duration limit,
                       const std::function<void()>& stillGoing) {
    MSComm1.close();
    finishCsv(limit, stillGoing);
    report(capture_.finish());
}

void Form1::finishCsv(std::chrono::steady_clock::duration limit,
                      const std::function<void()>& stillGoing) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + limit;
    while (capture_.csvPending()) {
        if (Clock::now() >= until) {
            // The rewrite goes to a file beside it: the CSV file is as it was.
            errors_.report(Error{"The CSV file is not yet up to date",
                                 deriveNames(FileName).CsvName,
                                 "the program had to end before it was rendered anew; it keeps "
                                 "its earlier content, and the next start completes it"});
            return;
        }
        report(capture_.csvSlice(Capture::StopSliceBudget));
        if (stillGoing)
            stillGoing();
    }
}

void Form1::backgroundSlice() {
    sliceAsked_ = false;
    report(capture_.csvSlice());
    scheduleBackgroundWork();
}

void Form1::scheduleBackgroundWork() {
    if (capture_.csvPending() && !sliceAsked_) {
        sliceAsked_ = true;
        face_.timer.runSoon();
    }
}

void Form1::report(const MaybeError& error) {
    if (error)
        errors_.report(*error);
    for (const Error& notice : capture_.takeNotices())
        errors_.report(notice);
}

} // namespace kelmor::app
