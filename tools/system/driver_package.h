// The driver package the machine installs the driver from: package/ostdfu.inf, built into the
// program, so that every run installs from the very file that ships.
#pragma once

#include <string_view>

namespace dfuhost {

inline constexpr char kDriverPackageName[] = "package/ostdfu.inf";

std::string_view driverPackageInf();

}  // namespace dfuhost
