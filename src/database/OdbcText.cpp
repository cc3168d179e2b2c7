#include "OdbcText.h"

namespace kelmor::database::odbc {

namespace {

constexpr char16_t Replacement = 0xFFFD;

void appendUtf16(WideText& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
        return;
    }
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at the start, 0 if none.
std::size_t sequence(std::string_view s, char32_t& cp) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    std::size_t n = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

WideText fromUtf8(std::string_view text) {
    WideText out;
    while (!text.empty()) {
        char32_t cp = 0;
        std::size_t n = sequence(text, cp);
        if (n == 0) {
            cp = static_cast<unsigned char>(text[0]);
            n = 1;
        }
        appendUtf16(out, cp);
        text.remove_prefix(n);
    }
    return out;
}

std::string toUtf8(const WideText& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        appendUtf8(out, cp);
    }
    return out;
}

WideText fromBytes(std::string_view bytes) {
    WideText out;
    out.reserve(bytes.size());
    for (const char ch : bytes)
        out += ch == '\0' ? Replacement : static_cast<char16_t>(static_cast<unsigned char>(ch));
    return out;
}

std::string toBytes(const WideText& text) {
    std::string out;
    out.reserve(text.size());
    for (const char16_t ch : text)
        // Anything we never send cannot match a byte of the file.
        out += ch == Replacement ? '\0' : ch <= 0xFF ? static_cast<char>(ch) : '\x7F';
    return out;
}

} // namespace kelmor::database::odbc
