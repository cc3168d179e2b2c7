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

void RecordRenderer::startLine(std::uint64_t at, const std::vector<StoreSpan>& stores) {
    if (!options_.timestamps) {
        put("\"", 1);
        return;
    }
    while (store_ < stores.size() && stores[store_].end <= at)
        ++store_;
    // Composed here and put at once: a rewrite starts millions of lines.
    char text[48];
    std::size_t size = 0;
    text[size++] = '"';
    if (store_ < stores.size() && stores[store_].start <= at) {
        const std::int64_t ms = stores[store_].utcMs;
        const std::int64_t second = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
        if (second != cachedSecond_) {
            // One conversion a second.
            const std::string local = localTimeText(second * 1000);
            cachedTime_ = local.substr(0, std::min<std::size_t>(local.size() - 4, 32));
            cachedSecond_ = second;
        }
        const auto fraction = static_cast<int>(ms - second * 1000);
        std::memcpy(text + size, cachedTime_.data(), cachedTime_.size());
        size += cachedTime_.size();
        text[size++] = '.';
        text[size++] = static_cast<char>('0' + fraction / 100);
        text[size++] = static_cast<char>('0' + fraction / 10 % 10);
        text[size++] = static_cast<char>('0' + fraction % 10);
    }
    std::memcpy(text + size, "\",\"", 3);
    put(text, size + 3);
}

void RecordRenderer::feed(std::string_view in, const StoreNotes& notes, std::string& csv) {
    // A chunk at a time, into a buffer big enough for its worst case: a
    // rewrite puts out millions of short pieces, and appending each to the
    // string would cost more than rendering it.
    while (!in.empty()) {
        const std::string_view chunk = in.substr(0, ChunkSize);
        in.remove_prefix(chunk.size());
        if (scratch_.size() < MaxGrowth * (chunk.size() + 1))
            scratch_.resize(MaxGrowth * (chunk.size() + 1));
        w_ = scratch_.data();
        feedChunk(chunk, notes);
        const auto size = static_cast<std::size_t>(w_ - scratch_.data());
        csv.append(scratch_.data(), size);
        out_ += size;
    }
}

void RecordRenderer::feedChunk(std::string_view in, const StoreNotes& notes) {
    const std::size_t n = in.size();
    const char* data = in.data();
    const std::uint64_t base = in_;
    store_ = static_cast<std::size_t>(
        std::partition_point(notes.stores.begin(), notes.stores.end(),
                             [&](const StoreSpan& s) { return s.end <= base; }) -
        notes.stores.begin());
    // Separators only split fields where fields are asked for.
    auto sep = options_.fields
                   ? std::partition_point(notes.separators.begin(), notes.separators.end(),
                                          [&](const Separator& s) { return s.at < base; })
                   : notes.separators.end();
    const auto sepEnd = notes.separators.end();
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
    std::size_t crAt = 0;
    std::size_t quoteAt = 0;
    bool looked = false;
    while (i < n) {
        if (!inLine_) {
            startLine(base + i, notes.stores);
            inLine_ = true;
        }
        if (afterEtx_) {
            afterEtx_ = false;
            if (data[i] != framing::CR)
                put("\",\"", 3);
        }
        if (!looked || crAt < i)
            crAt = find(framing::CR, i);
        if (!looked || quoteAt < i)
            quoteAt = find('"', i);
        looked = true;
        while (sep != sepEnd && sep->at < base + i)
            ++sep;
        const std::size_t sepAt = sep != sepEnd && sep->at - base < n ? sep->at - base : n;
        const std::size_t stop = std::min({crAt, quoteAt, sepAt});
        put(data + i, stop - i);
        i = stop;
        if (i == n)
            break;
        if (i == sepAt) {
            const Separator::Kind kind = (sep++)->kind;
            // Only where cleaning left the space it became; anything else is
            // text, and stays.
            if (data[i] == framing::Space) {
                if (kind == Separator::Kind::Fs)
                    put("\",\"", 3);
                else
                    afterEtx_ = true;
                ++i;
                continue;
            }
        }
        if (data[i] == '"') {
            put("\"\"", 2);
            ++i;
        } else if (data[i] == framing::CR) {
            put("\"\r\n", 3);
            inLine_ = false;
            ++i;
            if (i == n)
                skipLf_ = true;
            else if (data[i] == framing::LF)
                ++i;
        } else {
            put(data + i, 1);
            ++i;
        }
    }
    in_ += n;
}

void RecordRenderer::finish(std::string& csv) {
    if (inLine_) {
        csv.append("\"\r\n", 3);
        out_ += 3;
    }
    inLine_ = false;
    skipLf_ = false;
    afterEtx_ = false;
}

} // namespace kelmor::capture
