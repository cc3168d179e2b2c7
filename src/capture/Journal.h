#pragma once

#include "capture/CsvFormat.h"
#include "capture/Error.h"
#include "capture/FileStamp.h"
#include "platform/File.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The store journal: one short text line for each store, kept beside the
// capture file, appended after the ACK and made durable about once a
// second. It says when each piece of the capture file became durable and
// where the device sent FS and ETX in it, and at a clean stop how far the
// CSV file mirrors the capture file.
//
//   kelmor-times 1 DEVICE FILEID N HASH   the capture file it belongs to: its
//                                         id, and FNV-1a of its first N bytes
//   END LENGTH UTCMS [POSKIND...]         a store: bytes [END-LENGTH, END),
//                                         e.g. "1042 21 1765101600123 3f9f14e"
//   c OPTIONS TXTSIZE TXTMTIME CSVDEVICE CSVFILEID CSVSIZE CSVMTIME
//     CAPTUREOFFSET CSVOFFSET FLAGS       the CSV file as rendered (one line)
namespace kelmor::capture::fileops {

// The CSV file as a clean stop or a completed rewrite left it.
struct CsvCheckpoint {
    CsvOptions options;
    FileStamp txt;
    FileStamp csv;
    CsvResume resume;
    bool operator==(const CsvCheckpoint&) const = default;
};

inline constexpr const char* JournalMagic = "kelmor-times 1";

// The line a journal keeps for a store or a checkpoint, and the way back.
std::string entryLine(const StoreEntry& entry);
std::string checkpointLine(const CsvCheckpoint& checkpoint);
std::optional<StoreEntry> parseEntry(std::string_view line);
// The same into notes, without a new allocation for each line; whether it parsed.
bool parseEntryInto(std::string_view line, StoreNotes& notes);
std::optional<CsvCheckpoint> parseCheckpoint(std::string_view line, const FileStamp& txt);

class StoreJournal {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds SyncPeriod{1};
    static constexpr std::chrono::milliseconds WritePeriod{100};

    StoreJournal() = default;
    // What waits is written, not waited for: a run that ends without a clean
    // stop loses no more than it must.
    ~StoreJournal();
    StoreJournal(const StoreJournal&) = delete;
    StoreJournal& operator=(const StoreJournal&) = delete;

    // ".weighings.txt.kelmor-times" beside "weighings.txt".
    static std::string pathFor(const std::string& captureFile);

    // Checks the journal against the capture file, which held sizeBefore
    // bytes before the store in hand: entries past that are dropped, a torn
    // last line is cut, one for another file or a damaged one is set aside
    // (".old", one kept) and a new one begun. Anything to tell the user comes
    // back; capture never waits for the journal. A missing one is said only
    // where its lines would show (sayMissing): a file from before journals
    // is no fault.
    [[nodiscard]] MaybeError attach(const std::string& captureFile, const FileStamp& identity,
                                    std::uint64_t sizeBefore, bool sayMissing);
    // Whether the journal of this capture file was checked, usable or not.
    bool attachedTo(const std::string& captureFile) const {
        return checked_ && captureFile_ == captureFile;
    }
    // The last line at attach time, where it was a checkpoint.
    const std::optional<CsvCheckpoint>& checkpoint() const { return checkpoint_; }

    // Whether the line went in comes back as `written`.
    // Takes the store's line; whether it will go in. Lines are written about
    // every tenth of a second, so that a busy line does not open the file
    // for every record.
    bool append(const StoreEntry& entry);
    // At a clean stop made durable at once; otherwise on the usual schedule.
    [[nodiscard]] MaybeError record(const CsvCheckpoint& checkpoint, Clock::time_point now,
                                    bool durableNow);
    enum class Flush {
        WhenDue, // written every WritePeriod, durable every SyncPeriod
        Written, // written now (a rewrite is about to read it), durable when due
        Durable, // written and durable now
    };
    [[nodiscard]] MaybeError flush(Clock::time_point now, Flush how = Flush::WhenDue);
    // Forgets the file: the next store checks its journal anew.
    void detach();

private:
    MaybeError begin(MaybeError said);
    MaybeError setAside(const std::string& why, bool say);
    MaybeError failed(const std::string& what, const std::string& reason);

    std::string captureFile_;
    std::string path_;
    FileStamp identity_;  // the capture file's
    FileStamp journalId_; // the journal's own
    bool checked_ = false;
    bool usable_ = false;
    bool failureSaid_ = false;
    bool dirty_ = false;
    Clock::time_point lastSync_{};
    Clock::time_point lastWrite_{};
    std::string pending_; // lines not written yet
    std::optional<CsvCheckpoint> checkpoint_;
};

// Reads a journal's stores in order, a block at a time, as a rewrite reads
// the capture file. A journal that is missing, damaged or another file's
// yields nothing: those lines have no time and one field.
class JournalReader {
public:
    explicit JournalReader(std::string captureFile);

    // The stores that hold bytes of [from, to) and their separators, in
    // order, perhaps with a few after; `from` never goes back. Valid until
    // the next call.
    const StoreNotes& notes(std::uint64_t from, std::uint64_t to);

private:
    bool open(std::uint64_t from);
    // The next whole line, valid until the next call.
    std::optional<std::string_view> readLine();

    std::string captureFile_;
    bool opened_ = false;
    bool usable_ = false;
    platform::File file_;
    std::string buffer_;
    std::size_t at_ = 0; // in buffer_
    std::uint64_t lastEnd_ = 0;
    StoreNotes held_;
};

} // namespace kelmor::capture::fileops
