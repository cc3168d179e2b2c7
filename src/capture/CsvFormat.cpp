#include "capture/CsvFormat.h"

#include "capture/Framing.h"

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
