// libFuzzer target for registry export files given with --registry (see docs/fuzzing.md): a
// file is either loaded or refused with a RegFileError that names the file and a line; a
// refused file leaves the registry's keys as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/ob/object_manager.h"
#include "host/registry/reg_file.h"
#include "host/registry/registry.h"

namespace {

// Every key below `path`, depth first.
void collectKeys(const host::Registry& registry, const std::u16string& path, std::vector<std::u16string>& keys) {
    for (const std::u16string& name : registry.subkeyNames(path)) {
        const std::u16string key = path + u"\\" + name;
        keys.push_back(key);
        collectKeys(registry, key, keys);
    }
}

std::vector<std::u16string> keysOf(const host::Registry& registry) {
    std::vector<std::u16string> keys;
    collectKeys(registry, u"\\REGISTRY", keys);
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    host::ObjectManager objects;
    host::Registry registry(objects);
    const std::vector<std::u16string> before = keysOf(registry);
    try {
        host::loadRegText(registry, std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.reg");
    } catch (const host::RegFileError& e) {
        if (std::string_view(e.what()).rfind("fuzz.reg:", 0) != 0 || e.line() < 1) std::abort();
        if (keysOf(registry) != before) std::abort();
    }
    return 0;
}
