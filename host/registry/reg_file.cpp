#include "host/registry/reg_file.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "host/registry/registry.h"
#include "host/rtl/text.h"

namespace host {

namespace {

struct Operation {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::u16string path;
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct Line {
    int number;
    std::u16string text;
};

std::u16string decode(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::u16string out;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8);
        }
        return out;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    return widen(bytes);
}

std::u16string trim(std::u16string_view s) {
    while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == u' ' || s.back() == u'\t' || s.back() == u'\r')) {
        s.remove_suffix(1);
    }
    return std::u16string(s);
}

class Parser {
public:
    Parser(const std::string& source) : source_(source) {}

    std::vector<Operation> parse(const std::u16string& text) {
        std::vector<Line> lines = split(text);
        std::size_t i = 0;
        while (i < lines.size() && trim(lines[i].text).empty()) ++i;
        if (i == lines.size() || trim(lines[i].text) != u"Windows Registry Editor Version 5.00") {
            fail(i < lines.size() ? lines[i].number : 1,
                 "expected the header \"Windows Registry Editor Version 5.00\"");
        }
        for (++i; i < lines.size(); ++i) {
            const int number = lines[i].number;
            std::u16string line = trim(lines[i].text);
            // hex data may continue over several lines, each ending in a backslash
            while (isHexValue(line) && !line.empty() && line.back() == u'\\') {
                line.pop_back();
                if (++i == lines.size()) {
                    fail(number, "continuation line missing at the end of the file");
                }
                line += trim(lines[i].text);
            }
            if (line.empty() || line[0] == u';') continue;
            if (line[0] == u'[') {
                keyLine(number, line);
            } else {
                valueLine(number, line);
            }
        }
        return std::move(ops_);
    }

private:
    [[noreturn]] void fail(int line, const std::string& message) const {
        throw RegFileError(source_, line, message);
    }

    static std::vector<Line> split(const std::u16string& text) {
        std::vector<Line> lines;
        std::size_t start = 0;
        int number = 1;
        while (start <= text.size()) {
            std::size_t end = text.find(u'\n', start);
            if (end == std::u16string::npos) end = text.size();
            lines.push_back({number++, text.substr(start, end - start)});
            start = end + 1;
        }
        return lines;
    }

    static bool isHexValue(const std::u16string& line) {
        if (line.empty() || (line[0] != u'"' && line[0] != u'@')) return false;
        const std::u16string folded = foldCase(line);
        return folded.find(u"=HEX") != std::u16string::npos;
    }

    std::u16string rootPath(int number, std::u16string_view key) const {
        static const std::pair<std::u16string_view, std::u16string_view> kRoots[] = {
            {u"HKEY_LOCAL_MACHINE", u"\\REGISTRY\\MACHINE"},
            {u"HKLM", u"\\REGISTRY\\MACHINE"},
            {u"HKEY_USERS", u"\\REGISTRY\\USER"},
            {u"HKU", u"\\REGISTRY\\USER"},
            {u"HKEY_CLASSES_ROOT", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
            {u"HKCR", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
            {u"HKEY_CURRENT_CONFIG",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
        };
        if (!key.empty() && key[0] == u'\\') {
            const std::u16string path(key);
            if (!Registry::canonical(path)) fail(number, "key path outside \\REGISTRY");
            return path;
        }
        const std::size_t slash = key.find(u'\\');
        const std::u16string_view root = key.substr(0, slash);
        for (const auto& [name, path] : kRoots) {
            if (equalsIgnoreCase(root, name)) {
                std::u16string full =
                    std::u16string(path) + (slash == std::u16string_view::npos ? u"" : std::u16string(key.substr(slash)));
                if (!Registry::canonical(full)) fail(number, "key path with an empty key name (two backslashes in a row)");
                return full;
            }
        }
        fail(number, "unknown or unsupported root key \"" + narrow(root) + "\"");
    }

    void keyLine(int number, const std::u16string& line) {
        if (line.back() != u']') fail(number, "key line without its closing ']'");
        std::u16string_view inner(line);
        inner = inner.substr(1, inner.size() - 2);
        const bool deletion = !inner.empty() && inner[0] == u'-';
        if (deletion) inner.remove_prefix(1);
        if (inner.empty()) fail(number, "empty key name");
        const std::u16string path = rootPath(number, inner);
        ops_.push_back({deletion ? Operation::Kind::DeleteKey : Operation::Kind::CreateKey, path,
                        {}, REG_NONE, {}});
        currentKey_ = deletion ? std::nullopt : std::optional<std::u16string>(path);
    }

    // Reads a quoted string starting at pos (on the opening quote); returns the text and moves
    // pos past the closing quote.
    std::u16string quoted(int number, const std::u16string& line, std::size_t& pos) const {
        std::u16string out;
        for (++pos; pos < line.size(); ++pos) {
            const char16_t c = line[pos];
            if (c == u'\\' && pos + 1 < line.size() && (line[pos + 1] == u'\\' || line[pos + 1] == u'"')) {
                out += line[++pos];
            } else if (c == u'"') {
                ++pos;
                return out;
            } else {
                out += c;
            }
        }
        fail(number, "string without its closing quote");
    }

    std::vector<std::uint8_t> hexBytes(int number, std::u16string_view text) const {
        std::vector<std::uint8_t> bytes;
        std::u16string item;
        auto flush = [&](bool last) {
            const std::u16string t = trim(item);
            item.clear();
            if (t.empty() && last && bytes.empty()) return;
            if (t.size() != 2 && t.size() != 1) fail(number, "hex data must be bytes like 0a,ff");
            unsigned value = 0;
            for (char16_t c : t) {
                value <<= 4;
                if (c >= u'0' && c <= u'9') value |= c - u'0';
                else if (c >= u'a' && c <= u'f') value |= c - u'a' + 10;
                else if (c >= u'A' && c <= u'F') value |= c - u'A' + 10;
                else fail(number, "hex data holds a character that is not a hex digit");
            }
            bytes.push_back(static_cast<std::uint8_t>(value));
        };
        for (char16_t c : text) {
            if (c == u',') {
                flush(false);
            } else {
                item += c;
            }
        }
        flush(true);
        return bytes;
    }

    void valueLine(int number, const std::u16string& line) {
        if (!currentKey_) {
            fail(number, "value line outside a key section");
        }
        std::size_t pos = 0;
        std::u16string name;
        if (line[0] == u'@') {
            pos = 1;
        } else if (line[0] == u'"') {
            name = quoted(number, line, pos);
        } else {
            fail(number, "expected a value name in quotes or @");
        }
        while (pos < line.size() && (line[pos] == u' ' || line[pos] == u'\t')) ++pos;
        if (pos >= line.size() || line[pos] != u'=') fail(number, "expected '=' after the value name");
        const std::u16string data = trim(std::u16string_view(line).substr(pos + 1));
        Operation op{Operation::Kind::SetValue, *currentKey_, name, REG_NONE, {}};
        const std::u16string folded = foldCase(data);
        if (data == u"-") {
            op.kind = Operation::Kind::DeleteValue;
        } else if (!data.empty() && data[0] == u'"') {
            std::size_t at = 0;
            const std::u16string text = quoted(number, data, at);
            if (at != data.size()) fail(number, "text after the closing quote of a string value");
            op.type = REG_SZ;
            op.data = registryStringData(text);
        } else if (folded.starts_with(u"DWORD:")) {
            const std::u16string digits = trim(std::u16string_view(data).substr(6));
            if (digits.empty() || digits.size() > 8) fail(number, "dword value must be 1 to 8 hex digits");
            std::uint32_t value = 0;
            for (char16_t c : digits) {
                value <<= 4;
                if (c >= u'0' && c <= u'9') value |= c - u'0';
                else if (c >= u'a' && c <= u'f') value |= c - u'a' + 10;
                else if (c >= u'A' && c <= u'F') value |= c - u'A' + 10;
                else fail(number, "dword value must be 1 to 8 hex digits");
            }
            op.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) op.data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        } else if (folded.starts_with(u"HEX:")) {
            op.type = REG_BINARY;
            op.data = hexBytes(number, std::u16string_view(data).substr(4));
        } else if (folded.starts_with(u"HEX(")) {
            const std::size_t close = data.find(u"):");
            if (close == std::u16string::npos) fail(number, "hex(N): with no closing \"):\"");
            const std::u16string typeText = data.substr(4, close - 4);
            if (typeText.empty() || typeText.size() > 8) fail(number, "hex(N): needs a hex type number");
            ULONG type = 0;
            for (char16_t c : typeText) {
                type <<= 4;
                if (c >= u'0' && c <= u'9') type |= c - u'0';
                else if (c >= u'a' && c <= u'f') type |= c - u'a' + 10;
                else if (c >= u'A' && c <= u'F') type |= c - u'A' + 10;
                else fail(number, "hex(N): needs a hex type number");
            }
            op.type = type;
            op.data = hexBytes(number, std::u16string_view(data).substr(close + 2));
            if (type == REG_QWORD && op.data.size() != 8) fail(number, "hex(b) qword data must be 8 bytes");
        } else {
            fail(number, "unknown value data; expected \"text\", dword:, hex:, hex(N): or -");
        }
        ops_.push_back(std::move(op));
    }

    std::string source_;
    std::vector<Operation> ops_;
    std::optional<std::u16string> currentKey_;
};

}  // namespace

void loadRegText(Registry& registry, std::string_view text, const std::string& source) {
    Parser parser(source);
    const std::vector<Operation> ops = parser.parse(decode(text));
    for (const Operation& op : ops) {
        switch (op.kind) {
            case Operation::Kind::CreateKey:
                registry.createKey(op.path);
                break;
            case Operation::Kind::DeleteKey:
                registry.deleteKey(op.path);
                break;
            case Operation::Kind::SetValue:
                registry.setValue(op.path, op.name, op.type, op.data);
                break;
            case Operation::Kind::DeleteValue:
                registry.deleteValue(op.path, op.name);
                break;
        }
    }
}

void loadRegFile(Registry& registry, const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw RegFileError(path, 0, "cannot open the file");
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    loadRegText(registry, bytes.str(), path);
}

}  // namespace host
