#include "capture/CsvFormat.h"

#include "capture/Framing.h"
#include "platform/File.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kelmor::capture {

FileNames deriveNames(const std::string& baseName) {
    FileNames names;
    names.CsvName = baseName.ends_with(".csv") ? baseName : baseName + ".csv";
    names.TxtName = baseName.ends_with(".txt") ? baseName : baseName + ".txt";
    return names;
}

CsvRenderer::CsvRenderer(const CsvResume& from)
    : inLine_(from.inLine), skipLf_(from.afterCr), in_(from.captureOffset), out_(from.csvOffset) {}

void CsvRenderer::put(std::string& csv, const char* data, std::size_t size) {
    csv.append(data, size);
    out_ += size;
}

void CsvRenderer::feed(std::string_view in, std::string& out) {
    const char* data = in.data();
    std::size_t i = 0;
    const std::size_t n = in.size();
    if (n == 0)
        return;
    if (skipLf_) {
        skipLf_ = false;
        if (data[0] == framing::LF)
            i = 1;
    }
    while (i < n) {
        if (!inLine_) {
            put(out, "\"", 1);
            inLine_ = true;
        }
        const void* cr = std::memchr(data + i, framing::CR, n - i);
        if (cr == nullptr) {
            put(out, data + i, n - i);
            break;
        }
        const std::size_t end = static_cast<const char*>(cr) - data;
        put(out, data + i, end - i);
        put(out, "\"\r\n", 3);
        inLine_ = false;
        i = end + 1;
        if (i == n)
            skipLf_ = true;
        else if (data[i] == framing::LF)
            ++i;
    }
    in_ += n;
}

void CsvRenderer::finish(std::string& out) {
    if (inLine_)
        put(out, "\"\r\n", 3);
    inLine_ = false;
    skipLf_ = false;
}

} // namespace kelmor::capture

namespace kelmor::capture {

std::string CsvOptions::text() const {
    if (timestamps && fields)
        return "timestamps+fields";
    return timestamps ? "timestamps" : fields ? "fields" : "plain";
}

std::string localTimeText(std::int64_t utcMs) {
    const std::int64_t second = utcMs >= 0 ? utcMs / 1000 : -((-utcMs + 999) / 1000);
    const auto ms = static_cast<int>(utcMs - second * 1000);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", ms);
    return platform::File::localTimeText(second) + fraction;
}

RecordRenderer::RecordRenderer(CsvOptions options, const CsvResume& from)
    : options_(options), inLine_(from.inLine), skipLf_(from.afterCr),
      afterEtx_(from.afterEtx && options.fields), in_(from.captureOffset), out_(from.csvOffset) {}

void RecordRenderer::put(std::string& csv, std::string_view text) {
    csv.append(text);
    out_ += text.size();
}

void RecordRenderer::startLine(std::uint64_t at, const std::vector<StoreEntry>& stores,
                               std::string& csv) {
    put(csv, "\"");
    if (!options_.timestamps)
        return;
    while (store_ < stores.size() && stores[store_].end <= at)
        ++store_;
    if (store_ < stores.size() && stores[store_].start <= at) {
        const std::int64_t ms = stores[store_].utcMs;
        const std::int64_t second = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
        if (second != cachedSecond_) {
            // One conversion a second: a rewrite meets millions of lines.
            const std::string text = localTimeText(second * 1000);
            cachedTime_ = text.substr(0, text.size() - 4);
            cachedSecond_ = second;
        }
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(ms - second * 1000));
        put(csv, cachedTime_);
        put(csv, fraction);
    }
    put(csv, "\",\"");
}

void RecordRenderer::feed(std::string_view in, const std::vector<StoreEntry>& stores,
                          std::string& csv) {
    const std::size_t n = in.size();
    if (n == 0)
        return;
    const char* data = in.data();
    const std::uint64_t base = in_;
    store_ = static_cast<std::size_t>(
        std::partition_point(stores.begin(), stores.end(),
                             [&](const StoreEntry& s) { return s.end <= base; }) -
        stores.begin());
    // The next separator at or after a place in the bytes, as an index; n when none.
    std::size_t sepStore = store_;
    std::size_t sepIndex = 0;
    const auto nextSeparator = [&](std::size_t from) -> std::size_t {
        if (!options_.fields)
            return n;
        for (; sepStore < stores.size(); ++sepStore, sepIndex = 0) {
            const auto& seps = stores[sepStore].separators;
            while (sepIndex < seps.size() && seps[sepIndex].at < base + from)
                ++sepIndex;
            if (sepIndex < seps.size())
                return seps[sepIndex].at - base < n
                           ? static_cast<std::size_t>(seps[sepIndex].at - base)
                           : n;
            if (stores[sepStore].start >= base + n)
                return n;
        }
        return n;
    };
    const auto find = [&](char ch, std::size_t from) {
        const void* hit = std::memchr(data + from, ch, n - from);
        return hit != nullptr ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : n;
    };

    std::size_t i = 0;
    if (skipLf_) {
        skipLf_ = false;
        if (data[0] == framing::LF)
            i = 1;
    }
    std::size_t crAt = 0, quoteAt = 0, sepAt = 0;
    bool looked = false;
    while (i < n) {
        if (!inLine_) {
            startLine(base + i, stores, csv);
            inLine_ = true;
        }
        if (afterEtx_) {
            afterEtx_ = false;
            if (data[i] != framing::CR)
                put(csv, "\",\"");
        }
        if (!looked || crAt < i)
            crAt = find(framing::CR, i);
        if (!looked || quoteAt < i)
            quoteAt = find('"', i);
        if (!looked || sepAt < i)
            sepAt = nextSeparator(i);
        looked = true;
        const std::size_t stop = std::min({crAt, quoteAt, sepAt});
        put(csv, std::string_view(data + i, stop - i));
        i = stop;
        if (i == n)
            break;
        if (i == sepAt) {
            // Only where cleaning left the space it became; anything else is
            // text, and stays.
            if (data[i] == framing::Space) {
                if (stores[sepStore].separators[sepIndex].kind == Separator::Kind::Fs)
                    put(csv, "\",\"");
                else
                    afterEtx_ = true;
                ++i;
                continue;
            }
            ++sepIndex;
            sepAt = nextSeparator(i + 1);
        }
        if (data[i] == '"') {
            put(csv, "\"\"");
            ++i;
        } else if (data[i] == framing::CR) {
            put(csv, "\"\r\n");
            inLine_ = false;
            ++i;
            if (i == n)
                skipLf_ = true;
            else if (data[i] == framing::LF)
                ++i;
        } else {
            put(csv, std::string_view(data + i, 1));
            ++i;
        }
    }
    in_ += n;
}

void RecordRenderer::finish(std::string& csv) {
    if (inLine_)
        put(csv, "\"\r\n");
    inLine_ = false;
    skipLf_ = false;
    afterEtx_ = false;
}

} // namespace kelmor::capture
