#include "capture/CaptureFiles.h"

#include "FileOps.h"
#include "Journal.h"

namespace kelmor::capture {

CaptureFiles::CaptureFiles(std::size_t blockSize, std::function<Clock::time_point()> now)
    : blockSize_(blockSize), now_(std::move(now)),
      journal_(std::make_unique<fileops::StoreJournal>()) {}

CaptureFiles::~CaptureFiles() = default;

void CaptureFiles::setCsvOptions(CsvOptions options) {
    if (options == options_)
        return;
    options_ = options;
    tracked_.reset();
    rewrite_.reset();
}

void CaptureFiles::notice(MaybeError error) {
    if (error)
        notices_.push_back(std::move(*error));
}

bool CaptureFiles::tracking(const std::string& baseName) const {
    return tracked_ && tracked_->names == deriveNames(baseName);
}

StoreResult CaptureFiles::store(std::string_view text, const std::string& baseName,
                                const std::function<void()>& stored, Clock::duration csvBudget,
                                const std::vector<Separator>& separators) {
    const FileNames names = deriveNames(baseName);
    StoreResult result;
    if (MaybeError held = fileops::holdCaptureFile(names.TxtName, held_)) {
        tracked_.reset();
        result.storeError = std::move(held);
        return result;
    }
    std::optional<std::uint64_t> tornAt;
    if (torn_ && torn_->path == names.TxtName)
        tornAt = torn_->offset;
    fileops::AppendResult appended = fileops::appendDurably(names.TxtName, text, tornAt);
    torn_.reset();
    if (appended.tornAt)
        torn_ = Torn{names.TxtName, *appended.tornAt};
    if (appended.error) {
        tracked_.reset();
        result.storeError = std::move(appended.error);
        return result;
    }
    result.captureSize = appended.after.size;
    // The capture file is the record of truth: the device may hear now.
    if (stored)
        stored();
    // Its time, read after the ACK: nothing stands between the two.
    result.storedUtcMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    if (!held_)
        (void)fileops::holdCaptureFile(names.TxtName, held_); // made by this store
    StoreEntry entry{
        appended.after.size - text.size(), appended.after.size, result.storedUtcMs, {}};
    entry.separators.reserve(separators.size());
    for (const Separator& s : separators)
        entry.separators.push_back({entry.start + s.at, s.kind});
    StoreNotes journaled; // only the options read it
    if (journalStore(names, appended.before, appended.after, entry) && !options_.plain())
        journaled.add(entry);
    result.csvError = updateCsv(names, appended.before, appended.after, journaled, text, csvBudget);
    if (csvBudget == Unlimited)
        while (!result.csvError && rewrite_)
            result.csvError = csvSlice(Unlimited);
    notice(journal_->flush(now_()));
    return result;
}

bool CaptureFiles::journalStore(const FileNames& names, const FileStamp& before,
                                const FileStamp& after, const StoreEntry& entry) {
    if (!journal_->attachedTo(names.TxtName) || before != journalTxt_) {
        // A new run, another name, or a capture file changed by someone else.
        notice(journal_->attach(names.TxtName, after, before.size, !options_.plain()));
    }
    journalTxt_ = after;
    return journal_->append(entry);
}

void CaptureFiles::adoptCheckpoint(const FileNames& names, const FileStamp& before) {
    const auto& c = journal_->checkpoint();
    if (!c || !journal_->attachedTo(names.TxtName) || c->options != options_ || c->txt != before ||
        c->resume.captureOffset != before.size || fileops::stampOf(names.CsvName) != c->csv)
        return;
    tracked_ = Tracked{names, before, c->csv, c->resume};
}

void CaptureFiles::syncJournal() {
    notice(journal_->flush(now_()));
}

MaybeError CaptureFiles::finish() {
    if (tracked_ && !rewrite_ && journal_->attachedTo(tracked_->names.TxtName) &&
        fileops::stampOf(tracked_->names.TxtName) == tracked_->txt &&
        fileops::stampOf(tracked_->names.CsvName) == tracked_->csv) {
        // The CSV file on the disk first: the record vouches for its content.
        platform::File csv =
            platform::File::open(tracked_->names.CsvName, platform::File::Mode::Write);
        if (csv.isOpen() && csv.sync() && csv.stamp() == tracked_->csv)
            return journal_->record({options_, tracked_->txt, tracked_->csv, tracked_->resume},
                                    now_(), true);
    }
    return journal_->flush(now_(), fileops::StoreJournal::Flush::Durable);
}

MaybeError CaptureFiles::updateCsv(const FileNames& names, const FileStamp& before,
                                   const FileStamp& after, const StoreNotes& stores,
                                   std::string_view text, Clock::duration budget) {
    if (rewrite_ && rewriteNames_ != names) {
        // Another name: the old rewrite is given up, and the old CSV file
        // stays as it was; the next run that stores to it rewrites it.
        rewrite_.reset();
    }
    if (csvRetryAt_ && csvFailedNames_ == names && now_() < *csvRetryAt_)
        return std::nullopt; // behind, and said so; tried again in a while
    if (rewrite_) {
        // The rewrite reads on to the capture file's new end.
        if (before == rewriteTxt_)
            rewriteTxt_ = after;
        else
            startRewrite(names, after);
        return csvSlice(budget);
    }
    if (!tracked_)
        adoptCheckpoint(names, before);
    if (tracked_ && tracked_->names == names && tracked_->txt == before &&
        fileops::stampOf(names.CsvName) == tracked_->csv) {
        fileops::CsvWriteResult written =
            fileops::continueCsv(names.CsvName, tracked_->resume, text, options_, stores);
        if (written.error) {
            tracked_.reset();
            csvFailedNames_ = names;
            csvFailureReported_ = true;
            return written.error;
        }
        tracked_ = Tracked{names, after, written.csv, written.resume};
        return std::nullopt;
    }
    startRewrite(names, after);
    return csvSlice(budget);
}

void CaptureFiles::startRewrite(FileNames names, FileStamp txt) {
    tracked_.reset();
    rewrite_.reset();
    rewrite_ =
        std::make_unique<fileops::CsvRewrite>(names.TxtName, names.CsvName, blockSize_, options_);
    rewriteNames_ = std::move(names);
    rewriteTxt_ = txt;
}

MaybeError CaptureFiles::csvSlice(Clock::duration budget) {
    if (!rewrite_)
        return std::nullopt;
    // Changed by someone else since this program last wrote it: start over.
    if (const auto now = fileops::stampOf(rewriteNames_.TxtName); now && *now != rewriteTxt_)
        startRewrite(rewriteNames_, *now);
    // The rewrite reads the journal: what waits in memory goes in first.
    if (!options_.plain())
        notice(journal_->flush(now_(), fileops::StoreJournal::Flush::Written));
    fileops::CsvRewrite::Slice slice = rewrite_->slice(budget);
    if (slice.error)
        return rewriteFailed(std::move(*slice.error));
    if (!slice.done)
        return std::nullopt;
    if (rewrite_->txtStamp() != rewriteTxt_) {
        startRewrite(rewriteNames_, rewrite_->txtStamp());
        return std::nullopt;
    }
    tracked_ = Tracked{rewriteNames_, rewrite_->txtStamp(), rewrite_->result().csv,
                       rewrite_->result().resume};
    rewrite_.reset();
    if (journal_->attachedTo(tracked_->names.TxtName) && tracked_->txt == journalTxt_)
        notice(journal_->record({options_, tracked_->txt, tracked_->csv, tracked_->resume}, now_(),
                                false)); // no wait for the disk between events
    csvRetryAt_.reset();
    csvFailureReported_ = false;
    return std::nullopt;
}

MaybeError CaptureFiles::rewriteFailed(Error error) {
    rewrite_.reset();
    if (csvFailedNames_ != rewriteNames_)
        csvFailureReported_ = false;
    csvFailedNames_ = rewriteNames_;
    csvRetryAt_ = now_() + CsvRetryPeriod;
    if (csvFailureReported_)
        return std::nullopt;
    csvFailureReported_ = true;
    return error;
}

void CaptureFiles::retryCsvSoon() {
    csvRetryAt_.reset();
    csvFailureReported_ = false;
    journal_->detach(); // a journal that could not be written is tried again too
}

} // namespace kelmor::capture
