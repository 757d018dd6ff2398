// dfuhost serve: the bus's bootloader models as USB devices for any libusb program.
#pragma once

#include <string>
#include <vector>

#include "tools/commands/session.h"

namespace dfuhost {

struct ServeRequest {
    std::vector<std::string> command;  // the program and its arguments
    std::string record;                // --record FILE, or empty
    // dfuhost's own command line, to start again under umockdev's preload library.
    std::vector<std::string> self;
};

// The command's own exit code; 2 for bad usage or when umockdev is missing, 127 when the
// command cannot be started.
int serveCommand(const GlobalOptions& options, const ServeRequest& request);

inline constexpr const char* kUmockdevMissing =
    "serve needs umockdev, which puts the devices where libusb looks for them: install it with\n"
    "  sudo apt-get install umockdev libumockdev-dev\n"
    "(scripts/bootstrap.sh does), then build dfuhost again.";

}  // namespace dfuhost
