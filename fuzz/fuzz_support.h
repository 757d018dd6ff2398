// What every fuzz target shares: reading an input from the front (so that seed files can be
// written by hand, field after field), and the end-of-input checks that turn a silent fault
// into a crash libFuzzer keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "host/machine.h"

// The address sanitizer's settings for the targets that run a machine. A freed block stays
// poisoned until 32 MiB more have been freed: one input frees about 0.2 MiB, so a use after free
// within an input, or in the next hundred, is still caught, where the default 256 MiB had every
// input fault in fresh pages and cost a third of the speed. Allocation stacks are kept 10 frames
// deep. ASAN_OPTIONS set by hand still overrides both.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=32:malloc_context_size=10";
}

namespace ostdfu_fuzz {

// Fields taken from the front of the input; once it runs out every field reads as zero, so any
// prefix of a valid input is itself a valid input.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    std::uint8_t u8() { return position_ < bytes_.size() ? bytes_[position_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16() | std::uint32_t{u16()} << 16); }
    bool flag() { return (u8() & 1) != 0; }
    std::vector<std::uint8_t> bytes(std::size_t count) {
        std::vector<std::uint8_t> out;
        while (count-- > 0 && position_ < bytes_.size()) out.push_back(bytes_[position_++]);
        return out;
    }
    std::vector<std::uint8_t> rest() { return bytes(bytes_.size() - position_); }
    bool empty() const { return position_ >= bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

// After the device is gone and the driver unloaded, nothing the driver allocated may remain.
inline void checkPoolEmpty(host::Machine& machine) {
    const std::vector<std::string> leaked = machine.pool().leakedTags();
    if (!leaked.empty()) {
        for (const std::string& tag : leaked) std::fprintf(stderr, "leaked pool tag %s\n", tag.c_str());
        fail("pool not empty at the end of the input");
    }
}

}  // namespace ostdfu_fuzz
