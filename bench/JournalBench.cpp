// The store journal's cost: ETX->ACK with it against without, the CSV file
// rendered anew with times and fields against plain, and its bytes per
// record.
#include "Journal.h"
#include "WindowRig.h"
#include "capture/CaptureFiles.h"
#include "support/FakePort.h"

#include <QEventLoop>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace kelmor::bench {

using namespace kelmor::capture;

namespace {

// The records fillCapture writes, each one store in a journal beside them:
// a 1 GiB capture file stored at the line's pace, as far as the journal tells.
void fillJournal(const std::string& txt) {
    const std::uint64_t size = std::filesystem::file_size(txt);
    const std::uint64_t length = 40; // fillCapture's record
    // The header names the file: the program's own first store writes it.
    {
        CaptureFiles files;
        (void)files.store("\r", txt.substr(0, txt.size() - 4));
    }
    std::string header;
    std::getline(std::ifstream(fileops::StoreJournal::pathFor(txt), std::ios::binary), header);
    std::ofstream out(fileops::StoreJournal::pathFor(txt), std::ios::binary | std::ios::trunc);
    out << header << '\n';
    std::string block;
    const std::int64_t firstMs = 1765101600000;
    for (std::uint64_t start = 0; start + length <= size; start += length) {
        StoreEntry e{
            start, start + length, firstMs + static_cast<std::int64_t>(start / length) * 50, {}};
        for (const std::uint64_t at : {11, 20, 29, 36})
            e.separators.push_back({start + at, Separator::Kind::Fs});
        e.separators.push_back({start + 39, Separator::Kind::Etx});
        block += fileops::entryLine(e);
        if (block.size() > (1u << 20)) {
            out << block;
            block.clear();
        }
    }
    out << block;
}

double singlePassSeconds(const std::string& base, CsvOptions options) {
    std::filesystem::remove(base + ".csv");
    const auto start = Clock::now();
    CaptureFiles files;
    files.setCsvOptions(options);
    (void)files.store(" ", base);
    return secondsSince(start);
}

// Through the window, at the line's pace: the longest the event loop was
// blocked while the CSV file was rendered anew in slices.
double slicedLoopMaxGapMs(const std::string& base, CsvOptions options, int master) {
    std::filesystem::remove(base + ".csv");
    qt::QtWindow form;
    app::Options o;
    o.csv = options;
    form.start(o);
    saveAs(form, base);
    double maxGap = 0;
    auto last = Clock::now();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        maxGap = std::max(maxGap, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    });
    lockstep(master, 1); // the first store starts the rewrite
    last = Clock::now();
    tick.start(1);
    waitForCsv(form);
    form.endCapture();
    return maxGap;
}

// A balance's samples as the device simulator sends them.
std::string simulatorRecord(long n) {
    char text[96];
    std::snprintf(text, sizeof text, "\x02%s\x1c%s\x1cS%05ld\x1c%.2f g\x1c%s\x03", "2026-12-07",
                  "10:00:00", n + 1, 12.5 + static_cast<double>((n * 37) % 200) / 100.0,
                  n % 7 == 6 ? "UNSTABLE" : "OK");
    return text;
}

} // namespace

void journalBench(const std::string& shmDir, const std::string& diskDir, bool small) {
    const BoundLine line;
    const int master = test::Pty::masterFd(line.pty);

    // ETX->ACK on disk with the journal, and without: its name taken by a
    // folder that cannot be removed, so the program keeps none (and says so
    // once). Alternated, so that the disk's drift falls on both.
    {
        qt::QtWindow form;
        form.start({});
        std::vector<double> with, without;
        const int records = small ? 100 : 1500;
        for (int round = 0; round < 8; ++round) {
            const bool journal = round % 2 == 0;
            const std::string base = diskDir + (journal ? "/with" : "/without");
            if (!journal)
                std::filesystem::create_directories(diskDir + "/.without.txt.kelmor-times/taken");
            saveAs(form, base);
            lockstep(master, 1);
            waitForCsv(form);
            const Lockstep run = lockstep(master, records);
            (journal ? with : without)
                .insert((journal ? with : without).end(), run.latencyUs.begin(),
                        run.latencyUs.end());
        }
        for (const double p : {50.0, 99.0}) {
            const std::string tag = std::to_string(static_cast<int>(p));
            report("journal_etx_to_ack_p" + tag + "_us_disk_with", percentile(with, p), "us");
            report("journal_etx_to_ack_p" + tag + "_us_disk_without", percentile(without, p), "us");
            report("journal_etx_to_ack_p" + tag + "_with_over_without",
                   percentile(with, p) / percentile(without, p));
        }
        if (QMessageBox* box = form.errorBox())
            box->close();
    }

    // The CSV file rendered anew from a capture file with a store journal,
    // in memory (the work itself) and on disk (as on a PC).
    for (const auto& [place, dir] : {std::pair{"shm", shmDir}, std::pair{"disk", diskDir}}) {
        const std::size_t size = small ? (8u << 20) : (1u << 30);
        const std::string base = dir + "/shaped";
        fillCapture(base + ".txt", size);
        fillJournal(base + ".txt");
        const std::string tag = std::string(place) + "_" + sizeName(size);
        const double plain = singlePassSeconds(base, {});
        const double shaped = singlePassSeconds(base, {true, true});
        report("rebuild_single_pass_s_plain_" + tag, plain, "s");
        report("rebuild_single_pass_s_timestamps_fields_" + tag, shaped, "s");
        report("rebuild_timestamps_fields_over_plain_" + tag, shaped / plain);
        const double plainGap = slicedLoopMaxGapMs(base, {}, master);
        const double shapedGap = slicedLoopMaxGapMs(base, {true, true}, master);
        report("rebuild_loop_blocked_max_ms_plain_" + tag, plainGap, "ms");
        report("rebuild_loop_blocked_max_ms_timestamps_fields_" + tag, shapedGap, "ms");
        report("rebuild_loop_blocked_timestamps_fields_over_plain_" + tag, shapedGap / plainGap);
        for (const char* suffix : {".txt", ".csv"})
            std::filesystem::remove(base + suffix);
        std::filesystem::remove(fileops::StoreJournal::pathFor(base + ".txt"));
    }

    // Journal bytes per record, for the device simulator's records.
    {
        const std::string base = shmDir + "/simulated";
        test::FakePort port;
        Capture capture;
        const int records = 10000;
        for (long n = 0; n < records; ++n) {
            port.incoming = simulatorRecord(n);
            (void)capture.onComm(port, base);
        }
        (void)capture.finish(); // what waits in memory is written
        const double journal = static_cast<double>(
            std::filesystem::file_size(fileops::StoreJournal::pathFor(base + ".txt")));
        const double txt = static_cast<double>(std::filesystem::file_size(base + ".txt"));
        report("journal_bytes_per_record", journal / records, "B");
        report("capture_bytes_per_record", txt / records, "B");
        report("journal_over_capture_bytes", journal / txt);
    }
}

} // namespace kelmor::bench
