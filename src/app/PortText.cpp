#include "app/PortText.h"

namespace kelmor::app {

std::string portText(int port) {
    return "Comm " + std::to_string(port);
}

PortNumber portFromText(const std::string& text) {
    PortNumber result;
    std::string tail = text.size() > 2 ? text.substr(text.size() - 2) : text;
    const auto first = tail.find_first_not_of(' ');
    const auto last = tail.find_last_not_of(' ');
    tail = first == std::string::npos ? std::string() : tail.substr(first, last - first + 1);

    bool negative = false;
    std::string digits = tail;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.erase(0, 1);
    }
    bool number = !digits.empty();
    for (char ch : digits)
        number = number && ch >= '0' && ch <= '9';
    if (!number) {
        result.error = Error{"Type mismatch", text, "the port text does not end in a port number"};
        return result;
    }
    result.port = std::stoi(digits) * (negative ? -1 : 1);
    if (result.port < 1)
        result.error = Error{"Invalid port number", text, "ports are numbered from 1"};
    return result;
}

std::optional<int> portFromNumber(const std::string& text) {
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int port = std::stoi(text);
    if (port < 1 || port > PortCount)
        return std::nullopt;
    return port;
}

} // namespace kelmor::app
