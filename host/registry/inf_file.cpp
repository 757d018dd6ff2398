#include "host/registry/inf_file.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "host/registry/registry.h"
#include "host/rtl/text.h"

namespace host {

namespace {

constexpr std::u16string_view kServicesKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr std::u16string_view kEventLogKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";

// Add-registry flags (FLG_ADDREG_*).
constexpr std::uint32_t kFlagNoClobber = 0x00000002;
constexpr std::uint32_t kFlagDeleteValue = 0x00000004;
constexpr std::uint32_t kFlagKeyOnly = 0x00000010;
constexpr std::uint32_t kFlagsIgnored = 0x00001000 | 0x00004000;  // 64- and 32-bit views
constexpr std::uint32_t kTypeMask = 0xFFFF0001;
constexpr std::uint32_t kSupportedFlags =
    kTypeMask | kFlagNoClobber | kFlagDeleteValue | kFlagKeyOnly | kFlagsIgnored;
// SPSVCINST_ASSOCSERVICE: the service is the device's function driver.
constexpr std::uint32_t kAssociatedService = 0x00000002;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

struct Entry {
    int line = 0;
    std::string key;                  // before '=', unquoted; empty without '='
    std::vector<std::string> fields;  // raw: quotes and %strkey% still in place
};

struct Section {
    int line = 0;
    std::vector<Entry> entries;
};

struct Operation {
    enum class Kind { CreateKey, SetValue, DeleteValue } kind;
    std::u16string path;
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
    bool noClobber = false;
};

class Package {
  public:
    Package(std::string_view text, const std::string& source) : source_(source) { parse(text); }

    [[noreturn]] void fail(int line, const std::string& message) const {
        throw InfError(source_, line, message);
    }

    const Section* find(std::string_view name) const {
        const auto it = sections_.find(lower(name));
        return it == sections_.end() ? nullptr : &it->second;
    }
    const Section& require(std::string_view name, int line) const {
        const Section* section = find(name);
        if (section == nullptr)
            fail(line, "no section [" + std::string(name) + "]");
        return *section;
    }

    // The field with quotes removed and every %strkey% replaced.
    std::string expand(const std::string& raw, int line) const {
        std::string out;
        bool quoted = false;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '"') {
                if (quoted && i + 1 < raw.size() && raw[i + 1] == '"') {
                    out += '"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                continue;
            }
            if (raw[i] != '%') {
                out += raw[i];
                continue;
            }
            const std::size_t close = raw.find('%', i + 1);
            if (close == std::string::npos)
                fail(line, "'%' without its closing '%'");
            const std::string key = raw.substr(i + 1, close - i - 1);
            out += key.empty() ? "%" : substitute(key, line);
            i = close;
        }
        return out;
    }

    // The value of a "key = value" entry of a section, expanded; nullopt when absent.
    std::optional<std::string> directive(const Section& section, std::string_view key) const {
        for (const Entry& entry : section.entries) {
            if (lower(entry.key) == lower(key)) {
                return entry.fields.empty() ? std::string() : expand(entry.fields[0], entry.line);
            }
        }
        return std::nullopt;
    }
    std::string requireDirective(const Section& section, std::string_view key,
                                 std::string_view sectionName) const {
        std::optional<std::string> value = directive(section, key);
        if (!value || value->empty()) {
            fail(section.line, "[" + std::string(sectionName) + "] has no " + std::string(key));
        }
        return *value;
    }

  private:
    std::string substitute(const std::string& key, int line) const {
        static const std::map<std::string, std::string> directories = {
            {"10", "\\SystemRoot"},
            {"11", "\\SystemRoot\\System32"},
            {"12", "\\SystemRoot\\System32\\drivers"},
        };
        if (const auto dir = directories.find(key); dir != directories.end())
            return dir->second;
        const Section* strings = find("Strings");
        if (strings != nullptr) {
            for (const Entry& entry : strings->entries) {
                if (lower(entry.key) == lower(key) && !entry.fields.empty()) {
                    std::string value = entry.fields[0];
                    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                        value = value.substr(1, value.size() - 2);
                    }
                    return value;
                }
            }
        }
        fail(line, "no string %" + key + "% in [Strings]");
    }

    // Splits at commas (and the first '=') outside quotes; a ';' outside quotes ends the line.
    static std::string stripComment(const std::string& line, bool* unterminated) {
        bool quoted = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"')
                quoted = !quoted;
            if (line[i] == ';' && !quoted)
                return line.substr(0, i);
        }
        *unterminated = quoted;
        return line;
    }

    Entry splitEntry(const std::string& text, int line) const {
        Entry entry;
        entry.line = line;
        std::vector<std::string> parts;
        std::string current;
        bool quoted = false;
        bool seenEquals = false;
        for (char c : text) {
            if (c == '"')
                quoted = !quoted;
            if (!quoted && c == '=' && !seenEquals && parts.empty()) {
                entry.key = trim(current);
                if (entry.key.size() >= 2 && entry.key.front() == '"' && entry.key.back() == '"') {
                    entry.key = entry.key.substr(1, entry.key.size() - 2);
                }
                if (entry.key.empty())
                    fail(line, "'=' without a key before it");
                current.clear();
                seenEquals = true;
                continue;
            }
            if (!quoted && c == ',') {
                parts.push_back(trim(current));
                current.clear();
                continue;
            }
            current += c;
        }
        parts.push_back(trim(current));
        entry.fields = std::move(parts);
        return entry;
    }

    void parse(std::string_view text) {
        if (text.size() >= 2 && ((text[0] == '\xFF' && text[1] == '\xFE') ||
                                 (text[0] == '\xFE' && text[1] == '\xFF'))) {
            fail(1, "a UTF-16 file; this machine reads INF files in UTF-8");
        }
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);
        Section* current = nullptr;
        std::string pending;
        int pendingLine = 0;
        int number = 0;
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos)
                end = text.size();
            std::string raw(text.substr(start, end - start));
            start = end + 1;
            ++number;
            bool unterminated = false;
            std::string line = trim(stripComment(raw, &unterminated));
            if (unterminated)
                fail(number, "a quoted string without its closing quote");
            if (pending.empty())
                pendingLine = number;
            if (!line.empty() && line.back() == '\\' && line.find('[') != 0) {
                pending += line.substr(0, line.size() - 1);
                continue;
            }
            line = pending + line;
            pending.clear();
            if (line.empty())
                continue;
            if (line.front() == '[') {
                const std::size_t close = line.find(']');
                if (close == std::string::npos)
                    fail(pendingLine, "a section name without ']'");
                const std::string name = trim(std::string_view(line).substr(1, close - 1));
                if (name.empty())
                    fail(pendingLine, "an empty section name");
                if (!trim(std::string_view(line).substr(close + 1)).empty()) {
                    fail(pendingLine, "text after the section name");
                }
                current = &sections_[lower(name)];
                if (current->line == 0)
                    current->line = pendingLine;
                continue;
            }
            if (current == nullptr)
                fail(pendingLine, "an entry before the first section");
            current->entries.push_back(splitEntry(line, pendingLine));
        }
        if (!pending.empty())
            fail(pendingLine, "a continued line at the end of the file");
    }

    std::string source_;
    std::map<std::string, Section> sections_;
};

std::optional<std::uint64_t> number(const std::string& text) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

class Installer {
  public:
    explicit Installer(const Package& package) : package_(package) {}

    InfInstallation install(std::string_view hardwareId) {
        checkVersion();
        const auto [installName, line] = findModel(hardwareId);
        const std::string install = chooseInstallSection(installName, line);
        const Section& installSection = package_.require(install, line);
        for (const Entry& entry : installSection.entries) {
            if (lower(entry.key) == "copyfiles") {
                for (const std::string& field : entry.fields)
                    package_.require(package_.expand(field, entry.line), entry.line);
            }
        }
        InfInstallation result = installServices(install, installSection.line);
        if (const Section* hardware = package_.find(install + ".HW")) {
            // The hardware key belongs to a device instance the machine creates later; the
            // entries are read so that a broken one is found, not applied.
            std::vector<Operation> discarded;
            addRegistrySections(
                *hardware, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\", &discarded);
        }
        result.kmdfLibraryVersion = frameworkVersion(install, result.service);
        return result;
    }

    const std::vector<Operation>& operations() const { return operations_; }

  private:
    void checkVersion() {
        const Section& version = package_.require("Version", 1);
        const std::string signature =
            lower(package_.requireDirective(version, "Signature", "Version"));
        if (signature != "$windows nt$" && signature != "$chicago$") {
            package_.fail(version.line,
                          "[Version] Signature is neither $Windows NT$ nor $Chicago$");
        }
        for (const char* key : {"Class", "ClassGuid", "Provider", "DriverVer", "CatalogFile"}) {
            package_.requireDirective(version, key, "Version");
        }
    }

    // The install section of the first model that names the hardware ID, for x64.
    std::pair<std::string, int> findModel(std::string_view hardwareId) const {
        const Section& manufacturer = package_.require("Manufacturer", 1);
        for (const Entry& entry : manufacturer.entries) {
            std::string models = package_.expand(entry.fields[0], entry.line);
            bool decorated = entry.fields.size() == 1;
            for (std::size_t i = 1; i < entry.fields.size(); ++i) {
                const std::string decoration = package_.expand(entry.fields[i], entry.line);
                if (lower(decoration).rfind("ntamd64", 0) == 0) {
                    models += "." + decoration;
                    decorated = true;
                    break;
                }
            }
            if (!decorated)
                continue;
            for (const Entry& model : package_.require(models, entry.line).entries) {
                if (model.fields.size() < 2)
                    package_.fail(model.line, "a model without its hardware ID");
                for (std::size_t i = 1; i < model.fields.size(); ++i) {
                    if (lower(package_.expand(model.fields[i], model.line)) == lower(hardwareId)) {
                        return {package_.expand(model.fields[0], model.line), model.line};
                    }
                }
            }
        }
        package_.fail(manufacturer.line, "no x64 model names " + std::string(hardwareId));
    }

    std::string chooseInstallSection(const std::string& name, int line) const {
        for (const char* suffix : {".NTamd64", ".NT", ""}) {
            if (package_.find(name + suffix) != nullptr)
                return name + suffix;
        }
        package_.fail(line, "no install section [" + name + "]");
    }

    InfInstallation installServices(const std::string& install, int line) {
        const Section& services = package_.require(install + ".Services", line);
        InfInstallation result;
        for (const Entry& entry : services.entries) {
            if (lower(entry.key) != "addservice") {
                package_.fail(entry.line,
                              "this machine knows only AddService in [" + install + ".Services]");
            }
            if (entry.fields.size() < 3)
                package_.fail(entry.line, "AddService needs a name, flags and a section");
            const std::u16string name = widen(package_.expand(entry.fields[0], entry.line));
            const auto flags = number(package_.expand(entry.fields[1], entry.line));
            if (name.empty() || !flags)
                package_.fail(entry.line, "AddService needs a name and numeric flags");
            const std::u16string key = std::u16string(kServicesKey) + name;
            installService(
                package_.require(package_.expand(entry.fields[2], entry.line), entry.line), key);
            if (entry.fields.size() > 3 && !entry.fields[3].empty()) {
                const Section& eventLog =
                    package_.require(package_.expand(entry.fields[3], entry.line), entry.line);
                addRegistrySections(eventLog, std::u16string(kEventLogKey) + name, &operations_);
            }
            if ((*flags & kAssociatedService) != 0) {
                result.service = name;
                result.serviceKey = key;
            }
        }
        if (result.service.empty())
            package_.fail(services.line,
                          "no AddService is the device's function driver (flag 0x2)");
        return result;
    }

    void installService(const Section& section, const std::u16string& key) {
        operations_.push_back({Operation::Kind::CreateKey, key, {}, REG_NONE, {}});
        for (const char* name : {"ServiceType", "StartType", "ErrorControl"}) {
            const std::string text = package_.requireDirective(section, name, "service install");
            const auto value = number(text);
            if (!value || *value > 0xFFFFFFFF)
                package_.fail(section.line, std::string(name) + " is not a number");
            static const std::map<std::string, std::u16string> valueNames = {
                {"ServiceType", u"Type"},
                {"StartType", u"Start"},
                {"ErrorControl", u"ErrorControl"}};
            operations_.push_back({Operation::Kind::SetValue, key, valueNames.at(name), REG_DWORD,
                                   dword(static_cast<std::uint32_t>(*value))});
        }
        const std::string binary =
            package_.requireDirective(section, "ServiceBinary", "service install");
        operations_.push_back({Operation::Kind::SetValue, key, u"ImagePath", REG_EXPAND_SZ,
                               registryStringData(widen(binary))});
        if (auto display = package_.directive(section, "DisplayName")) {
            operations_.push_back({Operation::Kind::SetValue, key, u"DisplayName", REG_SZ,
                                   registryStringData(widen(*display))});
        }
        addRegistrySections(section, key, &operations_);
    }

    std::string frameworkVersion(const std::string& install, const std::u16string& service) const {
        const Section* wdf = package_.find(install + ".Wdf");
        if (wdf == nullptr)
            return {};
        for (const Entry& entry : wdf->entries) {
            if (lower(entry.key) != "kmdfservice")
                continue;
            if (entry.fields.size() < 2)
                package_.fail(entry.line, "KmdfService needs a service and a section");
            if (!equalsIgnoreCase(widen(package_.expand(entry.fields[0], entry.line)), service)) {
                package_.fail(entry.line, "KmdfService names a service no AddService adds");
            }
            const std::string name = package_.expand(entry.fields[1], entry.line);
            return package_.requireDirective(package_.require(name, entry.line),
                                             "KmdfLibraryVersion", name);
        }
        package_.fail(wdf->line, "[" + install + ".Wdf] has no KmdfService");
    }

    static std::vector<std::uint8_t> dword(std::uint32_t value) {
        return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    }

    // Every AddReg of the section, HKR standing for relativeRoot.
    void addRegistrySections(const Section& section, const std::u16string& relativeRoot,
                             std::vector<Operation>* out) const {
        for (const Entry& entry : section.entries) {
            if (lower(entry.key) != "addreg")
                continue;
            for (const std::string& field : entry.fields) {
                for (const Entry& line :
                     package_.require(package_.expand(field, entry.line), entry.line).entries) {
                    out->push_back(addRegistryEntry(line, relativeRoot));
                }
            }
        }
    }

    // reg-root, [subkey], [value-entry-name], [flags], [value][, value...]
    Operation addRegistryEntry(const Entry& entry, const std::u16string& relativeRoot) const {
        const int line = entry.line;
        if (!entry.key.empty())
            package_.fail(line, "an add-registry entry has no '='");
        std::vector<std::string> f;
        for (const std::string& raw : entry.fields)
            f.push_back(package_.expand(raw, line));
        static const std::map<std::string, std::u16string> roots = {
            {"hklm", u"\\REGISTRY\\MACHINE"},
            {"hku", u"\\REGISTRY\\USER"},
            {"hkcr", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
        };
        std::u16string path;
        if (lower(f[0]) == "hkr") {
            path = relativeRoot;
        } else if (const auto root = roots.find(lower(f[0])); root != roots.end()) {
            path = root->second;
        } else {
            package_.fail(line, "unknown registry root '" + f[0] + "'");
        }
        if (f.size() > 1 && !f[1].empty())
            path += u"\\" + widen(f[1]);
        Operation op{Operation::Kind::SetValue, path, f.size() > 2 ? widen(f[2]) : u"", REG_SZ, {}};
        const auto flags =
            f.size() > 3 && !f[3].empty() ? number(f[3]) : std::optional<std::uint64_t>(0);
        if (!flags || *flags > 0xFFFFFFFF)
            package_.fail(line, "flags '" + f[3] + "' are not a number");
        if ((*flags & ~std::uint64_t{kSupportedFlags}) != 0)
            package_.fail(line, "flags this machine does not apply");
        if (f.size() <= 2 || (*flags & kFlagKeyOnly) != 0) {
            op.kind = Operation::Kind::CreateKey;
            return op;
        }
        if ((*flags & kFlagDeleteValue) != 0) {
            op.kind = Operation::Kind::DeleteValue;
            return op;
        }
        op.noClobber = (*flags & kFlagNoClobber) != 0;
        const std::vector<std::string> values(f.begin() + std::min<std::size_t>(4, f.size()),
                                              f.end());
        const std::uint32_t type = static_cast<std::uint32_t>(*flags) & kTypeMask;
        switch (type) {
            case 0x00000000:
            case 0x00020000:
                op.type = type == 0 ? REG_SZ : REG_EXPAND_SZ;
                op.data = registryStringData(widen(values.empty() ? "" : values[0]));
                return op;
            case 0x00010000: {
                std::vector<std::u16string> strings;
                for (const std::string& value : values)
                    strings.push_back(widen(value));
                op.type = REG_MULTI_SZ;
                op.data = registryMultiStringData(strings);
                return op;
            }
            case 0x00010001: {
                const auto value = values.size() == 1 ? number(values[0]) : std::nullopt;
                if (!value || *value > 0xFFFFFFFF)
                    package_.fail(line, "a REG_DWORD needs one 32-bit number");
                op.type = REG_DWORD;
                op.data = dword(static_cast<std::uint32_t>(*value));
                return op;
            }
            default:
                break;
        }
        // Binary data of the type in the high word (FLG_ADDREG_BINVALUETYPE): 1 is REG_BINARY,
        // 0x00020001 REG_NONE.
        op.type = type == 0x00000001 ? REG_BINARY : type == 0x00020001 ? REG_NONE : type >> 16;
        if ((type & 1) == 0)
            package_.fail(line, "value type flags this machine does not know");
        for (const std::string& value : values) {
            const auto byte = number(value.rfind("0x", 0) == 0 ? value : "0x" + value);
            if (!byte || *byte > 0xFF)
                package_.fail(line, "'" + value + "' is not a hexadecimal byte");
            op.data.push_back(static_cast<std::uint8_t>(*byte));
        }
        return op;
    }

    const Package& package_;
    std::vector<Operation> operations_;
};

}  // namespace

InfInstallation installInf(Registry& registry, std::string_view text, std::string_view hardwareId,
                           const std::string& source) {
    const Package package(text, source);
    Installer installer(package);
    const InfInstallation result = installer.install(hardwareId);
    for (const Operation& op : installer.operations()) {
        switch (op.kind) {
            case Operation::Kind::CreateKey:
                registry.createKey(op.path);
                break;
            case Operation::Kind::DeleteValue:
                registry.deleteValue(op.path, op.name);
                break;
            case Operation::Kind::SetValue:
                if (!op.noClobber || !registry.value(op.path, op.name)) {
                    registry.setValue(op.path, op.name, op.type, op.data);
                }
                break;
        }
    }
    return result;
}

}  // namespace host
