#pragma once

#include "capture/CsvFormat.h"
#include "capture/Error.h"
#include "capture/FileStamp.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelmor::capture {

namespace fileops {
class CsvRewrite;
class StoreJournal;
struct HeldFile;
} // namespace fileops

struct [[nodiscard]] StoreResult {
    // Why the text is not durably in the capture file; empty once it is, and
    // only then may the device be acknowledged.
    MaybeError storeError;
    // Why the CSV file could not be brought up to date after a store.
    MaybeError csvError;
    // The capture file's size once the text is durably in it, and when it was.
    std::uint64_t captureSize = 0;
    std::int64_t storedUtcMs = 0;

    bool stored() const { return !storeError; }
};

// The capture file (.txt) and its CSV mirror (.csv) under one base name.
//
// The capture file is the record of truth; the CSV file is derived from it.
// While both files are as the last store left them, a store continues the
// CSV file from its end, at a cost that depends on neither file's size. Any
// other time (the first store of a run, another name, a file changed by
// someone else, a failed write) the CSV file is rendered anew from the whole
// capture file: in slices between events, into a file beside it that takes
// its place once complete. Stores made meanwhile go on at once; the rewrite
// carries on to the capture file's new end. A CSV file that cannot be
// brought up to date is reported once and tried again on a slow schedule,
// not at every record.
//
// The capture file in use is locked against other programs: a second one
// capturing into the same name is refused like any failed store.
class CaptureFiles {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration Unlimited = Clock::duration::max();
    // After a failed rewrite, the next try waits this long, or for retryCsvSoon().
    static constexpr std::chrono::seconds CsvRetryPeriod{60};

    // How much of the capture file a rewrite reads at a time.
    static constexpr std::size_t BlockSize = 64 << 10;

    explicit CaptureFiles(std::size_t blockSize = BlockSize,
                          std::function<Clock::time_point()> now = Clock::now);
    ~CaptureFiles();
    CaptureFiles(const CaptureFiles&) = delete;
    CaptureFiles& operator=(const CaptureFiles&) = delete;

    // Appends the text to the capture file and makes it durable, then calls
    // stored(), then brings the CSV file up to date, giving a rewrite at most
    // csvBudget now. A failed append leaves the capture file as it was, or,
    // where undoing it is refused, is completed by the retry rather than
    // repeated.
    // The separators are where the device sent FS and ETX in the text, for
    // the journal kept beside the capture file.
    StoreResult store(std::string_view text, const std::string& baseName,
                      const std::function<void()>& stored = {},
                      Clock::duration csvBudget = Unlimited,
                      const std::vector<Separator>& separators = {});

    // How the CSV file shows each line; another choice renders it anew.
    void setCsvOptions(CsvOptions options);
    const CsvOptions& csvOptions() const { return options_; }

    // Makes the journal's recent lines durable once they are about a second
    // old; a quiet line calls this from its timer. A failure is a notice.
    void syncJournal();
    // The program ends: the journal is made durable and, where the CSV file
    // is up to date, records it, so that the next start continues it rather
    // than rendering it anew.
    [[nodiscard]] MaybeError finish();
    // What the journal had to say beside a store or a slice: said once each.
    std::vector<Error> takeNotices() { return std::exchange(notices_, {}); }

    // The next store tries the CSV file again, whenever it last failed ("Save As").
    void retryCsvSoon();

    // Whether a rewrite waits for more slices.
    bool csvPending() const { return rewrite_ != nullptr; }
    // One slice of the rewrite in hand. A failure ends the rewrite; the next
    // store starts another.
    [[nodiscard]] MaybeError csvSlice(Clock::duration budget);

    // Whether the next store to these names may continue the CSV file rather
    // than rewrite it.
    bool tracking(const std::string& baseName) const;

private:
    // The files as the last store left them.
    struct Tracked {
        FileNames names;
        FileStamp txt;
        FileStamp csv;
        CsvResume resume;
    };
    // A failed append that could not be undone.
    struct Torn {
        std::string path;
        std::uint64_t offset = 0;
    };
    void startRewrite(FileNames names, FileStamp txt);
    // `stores` holds this store's journal line, where it went in: the CSV
    // file shows what the journal knows, as a rewrite would.
    MaybeError updateCsv(const FileNames& names, const FileStamp& before, const FileStamp& after,
                         const StoreNotes& stores, std::string_view text, Clock::duration budget);
    // The journal for this capture file, checked against it where it changed
    // since the last store; then this store's line. Whether it went in.
    bool journalStore(const FileNames& names, const FileStamp& before, const FileStamp& after,
                      const StoreEntry& entry);
    // A start that finds both files as a clean stop recorded them goes on.
    void adoptCheckpoint(const FileNames& names, const FileStamp& before);
    void notice(MaybeError error);

    // The rewrite ended in an error: nothing more until the retry is due.
    MaybeError rewriteFailed(Error error);

    std::size_t blockSize_;
    std::function<Clock::time_point()> now_;
    std::optional<Tracked> tracked_;
    std::optional<Torn> torn_;
    // The rewrite in hand, the names it is for, and the capture file as this
    // program last left it: anything else means someone changed it.
    std::unique_ptr<fileops::CsvRewrite> rewrite_;
    FileNames rewriteNames_;
    FileStamp rewriteTxt_;
    // After a failure: for which names, when to try again, whether it was said.
    FileNames csvFailedNames_;
    std::optional<Clock::time_point> csvRetryAt_;
    bool csvFailureReported_ = false;
    std::unique_ptr<fileops::HeldFile> held_;
    CsvOptions options_;
    std::unique_ptr<fileops::StoreJournal> journal_;
    FileStamp journalTxt_; // the capture file as the last store left it
    std::vector<Error> notices_;
};

} // namespace kelmor::capture
