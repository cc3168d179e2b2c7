#pragma once

#include "app/CommandLine.h"

#include <optional>
#include <string>

// The capture service: run under the service manager, installed and removed
// from the command line. Each port has its own, named by app::serviceName.
namespace kelmor::win32 {

// Started by the service manager with the service switch: hands the thread
// to it, and captures until the service is stopped.
[[nodiscard]] app::CommandLineAnswer runService(const app::Options& options);
// --install-service: registers the service and its event source, and starts it.
[[nodiscard]] app::CommandLineAnswer installService(const app::Options& options);
// --remove-service: stops and removes it; the files stay.
[[nodiscard]] app::CommandLineAnswer removeService(int port);

// The capture service that has the port open, when one runs and it is not
// this process.
std::optional<std::string> serviceHolding(int port);

} // namespace kelmor::win32
