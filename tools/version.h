// What `dfuhost --version` prints: the project's version and the commit the program was built
// from. The definition is written at build time (cmake/WriteVersion.cmake).
#pragma once

namespace dfuhost {

const char* versionText();

}  // namespace dfuhost
