#include "serial/LineSettings.h"

#include <cctype>
#include <charconv>
#include <vector>

namespace kelmor {

namespace {

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char ch : text) {
        if (ch == ',')
            parts.emplace_back();
        else if (ch != ' ')
            parts.back() += ch;
    }
    return parts;
}

bool toInt(const std::string& s, int& out) {
    const auto* end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(s.data(), end, out);
    return !s.empty() && ec == std::errc() && ptr == end;
}

} // namespace

ParsedSettings parseSettings(const std::string& text) {
    ParsedSettings result;
    const Error invalid{"Invalid line settings", text, "expected e.g. 19200,N,8,1"};
    const auto parts = splitCommas(text);
    if (parts.size() != 4) {
        result.error = invalid;
        return result;
    }
    LineSettings& s = result.settings;
    const std::string& parity = parts[1];
    if (!toInt(parts[0], s.baud) || s.baud <= 0 || parity.size() != 1 ||
        std::string("NEOMS").find(static_cast<char>(
            std::toupper(static_cast<unsigned char>(parity[0])))) == std::string::npos ||
        !toInt(parts[2], s.dataBits) || s.dataBits < 5 || s.dataBits > 8) {
        result.error = invalid;
        return result;
    }
    s.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parity[0])));
    if (parts[3] == "1.5")
        s.stopBits = 15;
    else if (!toInt(parts[3], s.stopBits) || (s.stopBits != 1 && s.stopBits != 2))
        result.error = invalid;
    return result;
}

std::string formatSettings(const LineSettings& s) {
    return std::to_string(s.baud) + ',' + s.parity + ',' + std::to_string(s.dataBits) + ',' +
           (s.stopBits == 15 ? std::string("1.5") : std::to_string(s.stopBits));
}

} // namespace kelmor
