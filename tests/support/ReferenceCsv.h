#pragma once

#include <string>
#include <string_view>

namespace kelmor::test {

// The CSV file as the format defines it, written the plain way: read the
// capture file line by line (a line ends at CR or CR LF, the last one maybe
// at the end of the data) and write each as '"' line '"' CR LF.
std::string referenceCsv(std::string_view capture);

// The capture text one store leaves: STX becomes CR, FS and every other byte
// below 0x20 or above 'z' becomes a space.
std::string referenceClean(std::string_view raw);

} // namespace kelmor::test
