#include "host/image/export_tables.h"

#include <stdexcept>

namespace host::image {

namespace {

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace

ExportTables::ExportTables(std::span<const ExportModule> modules) {
    for (const ExportModule& module : modules) {
        auto [table, added] = modules_.try_emplace(lowerAscii(module.name));
        if (!added) {
            throw std::invalid_argument("export tables: module " + std::string(module.name) + " is given twice");
        }
        for (const ExportEntry& entry : module.entries) {
            if (!table->second.try_emplace(std::string(entry.name), entry.function).second) {
                throw std::invalid_argument("export tables: " + std::string(module.name) + " lists " +
                                            std::string(entry.name) + " twice");
            }
        }
    }
}

ExportedFunction ExportTables::find(std::string_view module, std::string_view function) const {
    const auto table = modules_.find(lowerAscii(module));
    if (table == modules_.end()) {
        return nullptr;
    }
    const auto entry = table->second.find(function);
    return entry == table->second.end() ? nullptr : entry->second;
}

}  // namespace host::image
