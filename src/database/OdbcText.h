#pragma once

#include <string>
#include <string_view>

// Text as it crosses ODBC: UTF-16, which every Unicode driver converts to the
// column's encoding, so no byte a server would refuse ever reaches it.
namespace kelmor::database::odbc {

using WideText = std::u16string;

// Names (sources, ports): UTF-8, with any byte that is not as its Latin-1 character.
WideText fromUtf8(std::string_view text);
std::string toUtf8(const WideText& text);
// A row's bytes: each as its Latin-1 character, NUL as U+FFFD; and back.
WideText fromBytes(std::string_view bytes);
std::string toBytes(const WideText& text);

} // namespace kelmor::database::odbc
