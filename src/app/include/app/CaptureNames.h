#pragma once

// The capture core's names that the app layer is written in.
#include "capture/Capture.h"
#include "capture/CsvFormat.h"
#include "capture/Error.h"
#include "capture/SerialLink.h"

namespace kelmor::app {

using capture::Capture;
using capture::CaptureFiles;
using capture::deriveNames;
using capture::Error;
using capture::FileNames;
using capture::MaybeError;
using capture::SerialLink;

} // namespace kelmor::app
