// The registry: keys by full path under \REGISTRY, names compared without regard to case,
// typed values, and the handles the driver opens keys with.
//
// \REGISTRY\MACHINE\SYSTEM\CurrentControlSet is the same key as ...\ControlSet001, as on the
// real system: a key opened through either path reports its ControlSet001 name.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/ob/object_manager.h"
#include "platform/registry.h"

namespace host {

struct RegistryValue {
    std::u16string name;  // as first written; empty for the default value
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

// The data of a REG_SZ or REG_EXPAND_SZ: UTF-16LE with its terminator.
std::vector<std::uint8_t> registryStringData(std::u16string_view text);
// REG_MULTI_SZ: each string terminated, then one more terminator.
std::vector<std::uint8_t> registryMultiStringData(const std::vector<std::u16string>& strings);

class Registry {
public:
    // Starts with the keys every system has: SYSTEM's control set, SOFTWARE, USER.
    explicit Registry(ObjectManager& objects);
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Paths are full ("\REGISTRY\MACHINE\..."); creating a key creates its parents.
    // A path outside \REGISTRY is a caller bug: std::invalid_argument.
    void createKey(std::u16string_view path);
    bool keyExists(std::u16string_view path) const;
    // Deletes the key and everything below it; false when it did not exist.
    bool deleteKey(std::u16string_view path);
    std::vector<std::u16string> subkeyNames(std::u16string_view path) const;

    void setValue(std::u16string_view path, std::u16string_view name, ULONG type,
                  std::vector<std::uint8_t> data);
    void setDword(std::u16string_view path, std::u16string_view name, std::uint32_t value);
    void setQword(std::u16string_view path, std::u16string_view name, std::uint64_t value);
    void setString(std::u16string_view path, std::u16string_view name, std::u16string_view text,
                   ULONG type = REG_SZ);
    void setMultiString(std::u16string_view path, std::u16string_view name,
                        const std::vector<std::u16string>& strings);
    void setBinary(std::u16string_view path, std::u16string_view name,
                   std::vector<std::uint8_t> bytes);
    std::optional<RegistryValue> value(std::u16string_view path, std::u16string_view name) const;
    bool deleteValue(std::u16string_view path, std::u16string_view name);

    // The key's full name as the object manager reports it, or nullopt when it does not exist.
    std::optional<std::u16string> keyName(std::u16string_view path) const;

    // ---- what the platform calls do ----
    NTSTATUS open(std::u16string_view path, HANDLE* handle);
    NTSTATUS queryPartial(HANDLE handle, std::u16string_view name, void* information,
                          ULONG length, ULONG* resultLength) const;
    NTSTATUS close(HANDLE handle);

    // The canonical, case-folded form of a path (aliases resolved); nullopt when the path is
    // not under \REGISTRY.
    static std::optional<std::u16string> canonical(std::u16string_view path);

private:
    struct Key {
        std::u16string name;  // full path, in the case it was created with
        std::map<std::u16string, RegistryValue> values;  // by folded name
    };
    Key& ensureKeyLocked(std::u16string_view path);
    const Key* findLocked(std::u16string_view path) const;
    std::optional<std::u16string> pathOfHandle(HANDLE handle) const;

    ObjectManager& objects_;
    mutable std::mutex mutex_;
    std::map<std::u16string, Key> keys_;  // by canonical folded path
};

}  // namespace host
