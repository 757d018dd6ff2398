// dfuhost built without umockdev's development files.
#include <cstdio>

#include "tools/serve/serve.h"

namespace dfuhost {

int serveCommand(const GlobalOptions&, const ServeRequest&) {
    std::fprintf(stderr, "dfuhost: %s\n", kUmockdevMissing);
    return kExitUsage;
}

}  // namespace dfuhost
