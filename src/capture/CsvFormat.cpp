#include "capture/CsvFormat.h"

#include "capture/Framing.h"

#include <cstring>

namespace kelmor {

namespace {
bool endsWith(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}
} // namespace

FileNames deriveNames(const std::string& baseName) {
    FileNames names;
    names.CsvName = endsWith(baseName, ".csv") ? baseName : baseName + ".csv";
    names.TxtName = endsWith(baseName, ".txt") ? baseName : baseName + ".txt";
    return names;
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
            out += '"';
            inLine_ = true;
        }
        const void* cr = std::memchr(data + i, framing::CR, n - i);
        if (cr == nullptr) {
            out.append(data + i, n - i);
            return;
        }
        const std::size_t end = static_cast<const char*>(cr) - data;
        out.append(data + i, end - i);
        out += "\"\r\n";
        inLine_ = false;
        i = end + 1;
        if (i == n)
            skipLf_ = true;
        else if (data[i] == framing::LF)
            ++i;
    }
}

void CsvRenderer::finish(std::string& out) {
    if (inLine_)
        out += "\"\r\n";
    inLine_ = false;
    skipLf_ = false;
}

} // namespace kelmor
