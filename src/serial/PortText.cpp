#include "serial/PortText.h"

namespace kelmor {

PortNumber portFromText(const std::string& text) {
    PortNumber result;
    std::string tail = text.size() > 2 ? text.substr(text.size() - 2) : text;
    const auto first = tail.find_first_not_of(' ');
    const auto last = tail.find_last_not_of(' ');
    tail = first == std::string::npos ? std::string() : tail.substr(first, last - first + 1);

    bool digits = !tail.empty();
    for (char ch : tail)
        digits = digits && ch >= '0' && ch <= '9';
    if (!digits) {
        result.error = Error{"Type mismatch", text, "the port text does not end in a port number"};
        return result;
    }
    result.port = std::stoi(tail);
    if (result.port < 1)
        result.error = Error{"Invalid port number", text, "ports are numbered from 1"};
    return result;
}

} // namespace kelmor
