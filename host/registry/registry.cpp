#include "host/registry/registry.h"

#include <cstring>
#include <stdexcept>

#include "host/fault_plan.h"
#include "host/machine.h"
#include "host/rtl/text.h"

namespace host {

namespace {

constexpr std::u16string_view kRoot = u"\\REGISTRY";
constexpr std::u16string_view kCurrentControlSet = u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET";
constexpr std::u16string_view kControlSet001 = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001";

// A key opened by a handle: the object remembers which key, by canonical path.
class KeyObject final : public KernelObject {
public:
    KeyObject(std::u16string canonicalPath, std::u16string name)
        : canonicalPath_(std::move(canonicalPath)), name_(std::move(name)) {}
    std::u16string objectName() const override { return name_; }
    const std::u16string& canonicalPath() const { return canonicalPath_; }

private:
    std::u16string canonicalPath_;
    std::u16string name_;
};

// Resolves the CurrentControlSet alias, keeping the caller's case elsewhere.
std::u16string resolveAlias(std::u16string path) {
    const std::u16string folded = foldCase(path);
    if (folded.starts_with(kCurrentControlSet) &&
        (folded.size() == kCurrentControlSet.size() || folded[kCurrentControlSet.size()] == u'\\')) {
        path = std::u16string(kControlSet001) + path.substr(kCurrentControlSet.size());
    }
    return path;
}

std::u16string trimmed(std::u16string_view path) {
    while (!path.empty() && path.back() == u'\\') {
        path.remove_suffix(1);
    }
    return std::u16string(path);
}

std::u16string requirePath(std::u16string_view path) {
    auto canonical = Registry::canonical(path);
    if (!canonical) {
        throw std::invalid_argument("registry path outside \\REGISTRY: " + narrow(path));
    }
    return *canonical;
}

}  // namespace

std::vector<std::uint8_t> registryStringData(std::u16string_view text) {
    std::vector<std::uint8_t> data;
    for (char16_t c : text) {
        data.push_back(static_cast<std::uint8_t>(c & 0xFF));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<std::uint8_t> registryMultiStringData(const std::vector<std::u16string>& strings) {
    std::vector<std::uint8_t> data;
    for (const std::u16string& s : strings) {
        auto one = registryStringData(s);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

Registry::Registry(ObjectManager& objects) : objects_(objects) {
    createKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services");
    createKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum");
    createKey(u"\\REGISTRY\\MACHINE\\SOFTWARE");
    createKey(u"\\REGISTRY\\USER");
}

std::optional<std::u16string> Registry::canonical(std::u16string_view path) {
    std::u16string resolved = resolveAlias(trimmed(path));
    const std::u16string folded = foldCase(resolved);
    if (!folded.starts_with(kRoot) ||
        (folded.size() > kRoot.size() && folded[kRoot.size()] != u'\\') ||
        folded.find(u"\\\\") != std::u16string::npos) {
        return std::nullopt;
    }
    return folded;
}

Registry::Key& Registry::ensureKeyLocked(std::u16string_view path) {
    const std::u16string resolved = resolveAlias(trimmed(path));
    const std::u16string canonicalPath = requirePath(resolved);
    // Create every ancestor, each keeping the case it is first written with.
    std::size_t at = 0;
    Key* key = nullptr;
    while (true) {
        at = resolved.find(u'\\', at + 1);
        const std::u16string prefix = resolved.substr(0, at);
        auto [it, inserted] = keys_.try_emplace(foldCase(prefix));
        if (inserted) {
            it->second.name = prefix;
        }
        key = &it->second;
        if (at == std::u16string::npos) {
            break;
        }
    }
    (void)canonicalPath;
    return *key;
}

const Registry::Key* Registry::findLocked(std::u16string_view path) const {
    auto canonicalPath = canonical(path);
    if (!canonicalPath) {
        return nullptr;
    }
    auto it = keys_.find(*canonicalPath);
    return it == keys_.end() ? nullptr : &it->second;
}

void Registry::createKey(std::u16string_view path) {
    std::lock_guard lock(mutex_);
    ensureKeyLocked(path);
}

bool Registry::keyExists(std::u16string_view path) const {
    std::lock_guard lock(mutex_);
    return findLocked(path) != nullptr;
}

bool Registry::deleteKey(std::u16string_view path) {
    const std::u16string canonicalPath = requirePath(path);
    std::lock_guard lock(mutex_);
    auto it = keys_.find(canonicalPath);
    if (it == keys_.end()) {
        return false;
    }
    const std::u16string below = canonicalPath + u"\\";
    for (auto sub = keys_.begin(); sub != keys_.end();) {
        if (sub->first == canonicalPath || sub->first.starts_with(below)) {
            sub = keys_.erase(sub);
        } else {
            ++sub;
        }
    }
    return true;
}

std::vector<std::u16string> Registry::subkeyNames(std::u16string_view path) const {
    const std::u16string canonicalPath = requirePath(path);
    const std::u16string below = canonicalPath + u"\\";
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> names;
    for (const auto& [folded, key] : keys_) {
        if (folded.starts_with(below) && folded.find(u'\\', below.size()) == std::u16string::npos) {
            names.push_back(key.name.substr(below.size()));
        }
    }
    return names;
}

void Registry::setValue(std::u16string_view path, std::u16string_view name, ULONG type,
                        std::vector<std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    Key& key = ensureKeyLocked(path);
    RegistryValue& value = key.values[foldCase(name)];
    if (value.name.empty()) {
        value.name = name;
    }
    value.type = type;
    value.data = std::move(data);
}

void Registry::setDword(std::u16string_view path, std::u16string_view name, std::uint32_t value) {
    std::vector<std::uint8_t> data(4);
    for (int i = 0; i < 4; ++i) data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    setValue(path, name, REG_DWORD, std::move(data));
}

void Registry::setQword(std::u16string_view path, std::u16string_view name, std::uint64_t value) {
    std::vector<std::uint8_t> data(8);
    for (int i = 0; i < 8; ++i) data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    setValue(path, name, REG_QWORD, std::move(data));
}

void Registry::setString(std::u16string_view path, std::u16string_view name,
                         std::u16string_view text, ULONG type) {
    setValue(path, name, type, registryStringData(text));
}

void Registry::setMultiString(std::u16string_view path, std::u16string_view name,
                              const std::vector<std::u16string>& strings) {
    setValue(path, name, REG_MULTI_SZ, registryMultiStringData(strings));
}

void Registry::setBinary(std::u16string_view path, std::u16string_view name,
                         std::vector<std::uint8_t> bytes) {
    setValue(path, name, REG_BINARY, std::move(bytes));
}

std::optional<RegistryValue> Registry::value(std::u16string_view path,
                                             std::u16string_view name) const {
    std::lock_guard lock(mutex_);
    const Key* key = findLocked(path);
    if (key == nullptr) {
        return std::nullopt;
    }
    auto it = key->values.find(foldCase(name));
    if (it == key->values.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool Registry::deleteValue(std::u16string_view path, std::u16string_view name) {
    std::lock_guard lock(mutex_);
    auto canonicalPath = canonical(path);
    if (!canonicalPath) {
        return false;
    }
    auto it = keys_.find(*canonicalPath);
    return it != keys_.end() && it->second.values.erase(foldCase(name)) != 0;
}

std::optional<std::u16string> Registry::keyName(std::u16string_view path) const {
    std::lock_guard lock(mutex_);
    const Key* key = findLocked(path);
    return key == nullptr ? std::nullopt : std::optional<std::u16string>(key->name);
}

NTSTATUS Registry::open(std::u16string_view path, HANDLE* handle) {
    auto canonicalPath = canonical(path);
    if (!canonicalPath) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string name;
    {
        std::lock_guard lock(mutex_);
        auto it = keys_.find(*canonicalPath);
        if (it == keys_.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        name = it->second.name;
    }
    KernelObject* key = objects_.adopt(std::make_unique<KeyObject>(*canonicalPath, name));
    *handle = objects_.openHandle(key);
    return STATUS_SUCCESS;
}

std::optional<std::u16string> Registry::pathOfHandle(HANDLE handle) const {
    auto* key = dynamic_cast<KeyObject*>(objects_.byHandle(handle));
    if (key == nullptr) {
        return std::nullopt;
    }
    return key->canonicalPath();
}

NTSTATUS Registry::queryPartial(HANDLE handle, std::u16string_view name, void* information,
                                ULONG length, ULONG* resultLength) const {
    auto path = pathOfHandle(handle);
    if (!path) {
        return STATUS_INVALID_HANDLE;
    }
    RegistryValue found;
    {
        std::lock_guard lock(mutex_);
        auto key = keys_.find(*path);
        if (key == keys_.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;  // deleted while open
        }
        auto it = key->second.values.find(foldCase(name));
        if (it == key->second.values.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        found = it->second;
    }
    const ULONG header = KEY_VALUE_PARTIAL_INFORMATION_HEADER;
    const ULONG needed = header + static_cast<ULONG>(found.data.size());
    if (resultLength != nullptr) {
        *resultLength = needed;
    }
    if (information == nullptr || length < header) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = static_cast<std::uint8_t*>(information);
    const ULONG titleIndex = 0;
    const ULONG dataLength = static_cast<ULONG>(found.data.size());
    std::memcpy(out + 0, &titleIndex, 4);
    std::memcpy(out + 4, &found.type, 4);
    std::memcpy(out + 8, &dataLength, 4);
    const ULONG fits = std::min(length - header, dataLength);
    if (fits != 0) {
        std::memcpy(out + header, found.data.data(), fits);
    }
    return fits == dataLength ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS Registry::close(HANDLE handle) { return objects_.closeHandle(handle); }

}  // namespace host

// ---- platform entry points -------------------------------------------------------------------

NTSTATUS ZwOpenKey(HANDLE* keyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::RegistryOpen)) {
        return *failure;
    }
    if (keyHandle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr ||
        attributes->ObjectName->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const UNICODE_STRING& name = *attributes->ObjectName;
    std::u16string path(name.Buffer, name.Length / sizeof(WCHAR));
    if (attributes->RootDirectory != nullptr) {
        host::KernelObject* root = machine.objects().byHandle(attributes->RootDirectory);
        if (root == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        path = root->objectName() + u"\\" + path;
    }
    return machine.registry().open(path, keyHandle);
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                         ULONG length, PULONG resultLength) {
    if (informationClass != KeyValuePartialInformation) {
        // The driver asks only for the partial layout; the others are not emulated.
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view name;
    if (valueName != nullptr && valueName->Buffer != nullptr) {
        name = std::u16string_view(valueName->Buffer, valueName->Length / sizeof(WCHAR));
    }
    return host::Machine::current().registry().queryPartial(keyHandle, name, information, length,
                                                           resultLength);
}

NTSTATUS ZwClose(HANDLE handle) { return host::Machine::current().registry().close(handle); }
