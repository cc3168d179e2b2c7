// The port text rule against a plain reading of it: the last two characters,
// spaces around them and a sign allowed, must be a number from 1 up.
#include "app/PortText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const kelmor::app::PortNumber result = kelmor::app::portFromText(text);

    std::string tail = text.size() > 2 ? text.substr(text.size() - 2) : text;
    while (!tail.empty() && tail.front() == ' ')
        tail.erase(0, 1);
    while (!tail.empty() && tail.back() == ' ')
        tail.pop_back();
    int sign = 1;
    if (!tail.empty() && (tail.front() == '+' || tail.front() == '-')) {
        sign = tail.front() == '-' ? -1 : 1;
        tail.erase(0, 1);
    }
    bool number = !tail.empty();
    int value = 0;
    for (char ch : tail) {
        number = number && ch >= '0' && ch <= '9';
        value = value * 10 + (ch - '0');
    }
    value *= sign;
    const bool valid = number && value >= 1;
    if (valid != !result.error.has_value())
        std::abort();
    if (valid && result.port != value)
        std::abort();
    if (!valid && result.error->subject != text)
        std::abort();
    return 0;
}
