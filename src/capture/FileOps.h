#pragma once

#include "capture/Error.h"

#include <string>
#include <string_view>

// The only place that touches the operating system's file calls, so that a
// port to another platform replaces this one file pair.
namespace kelmor::fileops {

// Appends the bytes and makes them durable before returning. On any failure
// the file is left as it was before the call (a file this call created is
// removed again).
MaybeError appendDurably(const std::string& path, std::string_view bytes);

// Writes csvPath anew from the whole of txtPath, streaming in large blocks.
MaybeError rebuildCsv(const std::string& txtPath, const std::string& csvPath);

} // namespace kelmor::fileops
