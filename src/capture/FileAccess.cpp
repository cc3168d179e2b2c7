#include "capture/FileAccess.h"

#include "Journal.h"
#include "platform/File.h"

#include <filesystem>

namespace kelmor::capture {

std::vector<StoreTime> storeTimes(const std::string& captureFile, std::uint64_t from,
                                  std::uint64_t to) {
    fileops::JournalReader reader(captureFile);
    const StoreNotes& notes = reader.notes(from, to);
    std::vector<StoreTime> times;
    for (const StoreSpan& s : notes.stores)
        if (s.start < to)
            times.push_back({s.start, s.end, s.utcMs});
    return times;
}

ReadResult readFileAt(const std::string& path, std::uint64_t offset, std::size_t length) {
    using platform::File;
    ReadResult result;
    File file = File::open(path, File::Mode::Read);
    if (!file.isOpen()) {
        result.failure = file.error();
        return result;
    }
    if (!file.seek(offset)) {
        result.failure = file.error();
        return result;
    }
    result.bytes.resize(length);
    std::size_t got = 0;
    while (got < length) {
        const long long n = file.read(result.bytes.data() + got, length - got);
        if (n < 0) {
            result.failure = file.error();
            result.bytes.clear();
            return result;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    result.bytes.resize(got);
    return result;
}

bool appendLogLine(const std::string& path, const std::string& line) {
    using platform::File;
    File file = File::open(path, File::Mode::AppendLog);
    const std::string entry = File::localTimeText() + " " + line + File::LineEnd;
    return file.isOpen() && file.write(entry.data(), entry.size());
}

std::string canonicalName(const std::string& path) {
    if (auto resolved = platform::File::resolvedName(path))
        return *resolved;
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

} // namespace kelmor::capture
