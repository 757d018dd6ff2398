// What the loader's tests share: a framework side whose calls are recorded, and the fixture
// images cross-compiled for them (tests/image/fixtures), with the offsets of their header fields
// for the tests that damage them.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host/image/framework_loader.h"
#include "host/image/image_bytes.h"

namespace image_test {

using host::image::FrameworkFunction;
using host::image::hex;

// The machine's framework as the loader sees it, with every call recorded.
class FakeFramework : public host::image::FrameworkSide {
public:
    explicit FakeFramework(ULONG minor = 15, std::size_t tableSize = 444) : minor_(minor), functions_(tableSize) {}

    void provide(std::size_t index, FrameworkFunction function) { functions_.at(index) = function; }

    ULONG minorVersion() const override { return minor_; }
    std::span<const FrameworkFunction> functions() const override { return functions_; }
    NTSTATUS createDriverGlobals(PDRIVER_OBJECT driver, PCUNICODE_STRING, WDF_DRIVER_GLOBALS** globals) override {
        if (createFails) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        drivers.push_back(driver);
        storage_.push_back(std::make_unique<std::array<std::byte, 56>>());
        *globals = reinterpret_cast<WDF_DRIVER_GLOBALS*>(storage_.back().get());
        created.push_back(*globals);
        return STATUS_SUCCESS;
    }
    void destroyDriverGlobals(WDF_DRIVER_GLOBALS* globals) override { destroyed.push_back(globals); }

    bool createFails = false;
    std::vector<PDRIVER_OBJECT> drivers;
    std::vector<WDF_DRIVER_GLOBALS*> created;
    std::vector<WDF_DRIVER_GLOBALS*> destroyed;

private:
    ULONG minor_;
    std::vector<FrameworkFunction> functions_;
    std::vector<std::unique_ptr<std::array<std::byte, 56>>> storage_;
};

// A fixture image's bytes; empty when the fixtures are not built (see FixtureTest).
inline std::vector<std::uint8_t> fixtureBytes(const std::string& name) {
    std::ifstream in(std::string(OSTDFU_IMAGE_FIXTURES) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Tests that load fixture images report themselves skipped, with the reason, where the cross
// compiler is missing.
class FixtureTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(OSTDFU_IMAGE_FIXTURES).empty()) {
            GTEST_SKIP() << OSTDFU_IMAGE_FIXTURES_SKIPPED;
        }
    }
};

// Little-endian fields of an image's bytes, and where its headers put them.
inline std::uint64_t get(const std::vector<std::uint8_t>& b, std::size_t at, unsigned width) {
    std::uint64_t value = 0;
    for (unsigned i = width; i-- > 0;) {
        value = value << 8 | b.at(at + i);
    }
    return value;
}

inline void put(std::vector<std::uint8_t>& b, std::size_t at, unsigned width, std::uint64_t value) {
    for (unsigned i = 0; i < width; ++i) {
        b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

struct Layout {
    explicit Layout(const std::vector<std::uint8_t>& b)
        : pe(get(b, 0x3C, 4)), coff(pe + 4), optional(coff + 20), sections(optional + get(b, coff + 16, 2)),
          sectionCount(get(b, coff + 2, 2)) {
        for (std::size_t i = 0; i < sectionCount; ++i) {
            names.emplace_back(reinterpret_cast<const char*>(&b.at(sections + 40 * i)),
                               strnlen(reinterpret_cast<const char*>(&b.at(sections + 40 * i)), 8));
        }
    }

    // The file offset of a section's header.
    std::size_t section(const std::string& name) const {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) {
                return sections + 40 * i;
            }
        }
        ADD_FAILURE() << "no section " << name;
        return 0;
    }
    // The file offset of a data directory's entry (RVA, then size).
    std::size_t directory(unsigned index) const { return optional + 112 + 8 * index; }
    // The file offset of the byte at an RVA inside a section.
    std::size_t fileOffsetOf(const std::vector<std::uint8_t>& b, std::uint32_t rva) const {
        for (std::size_t i = 0; i < sectionCount; ++i) {
            const std::size_t header = sections + 40 * i;
            const auto va = get(b, header + 12, 4);
            if (rva >= va && rva < va + get(b, header + 16, 4)) {
                return get(b, header + 20, 4) + (rva - va);
            }
        }
        ADD_FAILURE() << "RVA " << rva << " is in no section's file data";
        return 0;
    }

    std::size_t pe, coff, optional, sections, sectionCount;
    std::vector<std::string> names;
};

}  // namespace image_test
