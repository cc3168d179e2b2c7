#include "support/ReferenceCsv.h"

namespace kelmor::test {

std::string referenceCsv(std::string_view capture) {
    std::string csv;
    std::size_t pos = 0;
    while (pos < capture.size()) {
        std::size_t end = capture.find('\r', pos);
        const bool terminated = end != std::string_view::npos;
        if (!terminated)
            end = capture.size();
        csv += '"';
        csv += capture.substr(pos, end - pos);
        csv += "\"\r\n";
        pos = end + (terminated ? 1 : 0);
        if (terminated && pos < capture.size() && capture[pos] == '\n')
            ++pos;
    }
    return csv;
}

std::string referenceClean(std::string_view raw) {
    std::string out;
    for (char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0x02)
            out += '\r';
        else if (c < 0x20 || c > 'z')
            out += ' ';
        else
            out += ch;
    }
    return out;
}

} // namespace kelmor::test
