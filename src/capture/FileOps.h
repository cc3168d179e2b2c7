#pragma once

#include "capture/CsvFormat.h"
#include "capture/Error.h"
#include "capture/FileStamp.h"
#include "platform/File.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The file work of a store: a durable append that is undone when it fails,
// and the CSV rendering, continued or redone in slices, written on top of the
// platform's file seam.
namespace kelmor::capture::fileops {

class JournalReader;

inline std::optional<FileStamp> stampOf(const std::string& path) {
    return platform::File::stampOf(path);
}

// A hidden file of ours beside a user's file: ".NAME" and a suffix no user
// file has.
inline std::string besideAsHidden(const std::string& file, std::string_view suffix) {
    const std::filesystem::path path(file);
    std::string name = ".";
    name += path.filename().string();
    name += suffix;
    return (path.parent_path() / name).string();
}

struct AppendResult {
    MaybeError error;
    FileStamp before; // the file as found (size 0 when it did not exist)
    FileStamp after;  // the file as left
    // A failed append that could not be undone: from this offset on, the file
    // may hold a leading part of the bytes.
    std::optional<std::uint64_t> tornAt;
};

// Appends the bytes and makes them durable before returning. On failure the
// file is left as it was before the call (a file this call created is
// removed again); where that is refused, tornAt says where the leftover
// starts. Passing it back to the retry writes only what is still missing, so
// the bytes end up in the file exactly once.
[[nodiscard]] AppendResult appendDurably(const std::string& path, std::string_view bytes,
                                         std::optional<std::uint64_t> tornAt = std::nullopt);

struct CsvWriteResult {
    MaybeError error;
    FileStamp csv;    // the CSV file as left
    CsvResume resume; // where the next write can go on
};

// Continues the CSV file with capture text just appended after `from`: cuts
// the file at from.csvOffset and renders only the new text. Its cost does
// not depend on the size of either file, nor on the length of the last line.
[[nodiscard]] CsvWriteResult continueCsv(const std::string& csvPath, const CsvResume& from,
                                         std::string_view appended, const CsvOptions& options = {},
                                         const StoreNotes& notes = {});

// Renders the whole capture file into a new CSV file a slice at a time, so
// that the caller can handle events in between. It writes a partial file
// beside the CSV file and puts it in the CSV file's place only once
// complete: until then, and if it is given up, the old CSV file stays as it
// was. Where no partial file can be made or put in place (a read-only
// folder, no room for a second copy), it renders into the CSV file itself.
class CsvRewrite {
public:
    using Clock = std::chrono::steady_clock;
    CsvRewrite(std::string txtPath, std::string csvPath, std::size_t blockSize,
               CsvOptions options = {});
    // Gives up: the partial file goes, the CSV file stays as it was.
    ~CsvRewrite();
    CsvRewrite(const CsvRewrite&) = delete;
    CsvRewrite& operator=(const CsvRewrite&) = delete;

    // The partial file for a CSV file: hidden beside it, under a name no
    // user file has.
    static std::string partialFor(const std::string& csvFile);

    struct Slice {
        MaybeError error;  // the rewrite failed; start a new one later
        bool done = false; // the CSV file is the rendering of the capture file
    };
    // Renders block after block until the budget is spent or the end of the
    // capture file is reached, then replaces the CSV file.
    [[nodiscard]] Slice slice(Clock::duration budget);

    // Once done: the files as left, and where a continuation goes on.
    const FileStamp& txtStamp() const { return txtStamp_; }
    const CsvWriteResult& result() const { return result_; }

private:
    // Where the new file goes and what it replaces; then the partial file.
    MaybeError begin();
    // From the start again, into the CSV file itself.
    MaybeError renderInPlace();
    void startOver();
    void dropPartial();
    // All rendered: the CSV file takes its final form.
    Slice complete();
    MaybeError failure(const std::string& path, const platform::File& file) const;

    std::string txt_;
    std::string csv_;
    std::string target_;  // the CSV file, or the file its link leads to
    std::string partial_; // beside it, until complete
    std::optional<std::filesystem::perms> permissions_;
    std::size_t blockSize_;
    bool begun_ = false;
    bool inPlace_ = false;
    bool partialMade_ = false;
    platform::File out_; // the partial file, or the CSV file itself
    // The default renders as it always has; the options need the journal.
    CsvOptions options_;
    CsvRenderer renderer_;
    RecordRenderer records_{options_};
    std::unique_ptr<JournalReader> journal_;
    std::uint64_t consumed_ = 0; // capture bytes rendered
    std::uint64_t produced_ = 0; // CSV bytes written
    std::optional<FileStamp> outStamp_;
    std::string block_;
    std::string rendered_;
    FileStamp txtStamp_;
    CsvWriteResult result_;
};

// The capture file held against other programs: a second program that tries
// to capture into the same file is refused, and the lock goes with the
// process, however it ends.
struct HeldFile {
    std::string path;
    FileStamp stamp;
    platform::File file;
};

// Holds the capture file, if it exists, unless `held` holds it already. An
// error when another program holds it.
[[nodiscard]] MaybeError holdCaptureFile(const std::string& path, std::unique_ptr<HeldFile>& held);

} // namespace kelmor::capture::fileops
