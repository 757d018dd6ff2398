// The bus dfuhost runs on when it is given none: a scenario document built in, so that `list`,
// `run` and every other command see the same devices. One bootloader of each product family,
// a read-protected one, a blank one, one whose identity names no known product, and two
// sibling products side by side below one hub.
#pragma once

#include <string>

#include "tools/scenario/scenario.h"

namespace dfuhost {

inline constexpr const char* kDemoBusName = "<demo bus>";

// The document itself, as `dfuhost run` would read it from a file.
const std::string& demoBusText();
scenario::Scenario demoBus();

}  // namespace dfuhost
