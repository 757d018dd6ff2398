// The layout string of an alternate setting is the device's own text: the driver takes the base
// address of the segment from it. Input: the text, one byte per character (the syntax is
// ASCII; the string-descriptor target covers the rest of UTF-16). Where the bootloader model's
// parser accepts the text, both must agree on the base address.
#include <cstdint>
#include <string>

#include "driver/segments.h"
#include "fuzz/fuzz_support.h"
#include "sim/layout.h"
#include "tests/support/dfu_harness.h"

namespace {

// A string descriptor holds at most 126 characters.
constexpr std::size_t kMaxCharacters = 126;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxCharacters) return -1;
    std::u16string text;
    for (std::size_t i = 0; i < size; ++i) text.push_back(data[i]);
    {
        auto h = ostdfu_test::DfuHarness::scripted();
        h->script().setString(4, text);
        const ULONG base = GetSegmentBaseAddress(h->device(), 1);

        // The copy kept for the control interface is the text up to its first NUL.
        const std::u16string kept(h->fdo()->SegmentString1);
        ostdfu_fuzz::check(kept == text.substr(0, text.find(u'\0')), "segment string not kept as sent");

        const std::string narrow(reinterpret_cast<const char*>(data), size);
        const sim::LayoutParseResult model = sim::parseLayout(narrow);
        if (model.ok() && narrow.find('\0') == std::string::npos) {
            if (base != model.layout->groups.front().address) {
                std::fprintf(stderr, "driver 0x%08x, model 0x%08x\n", base,
                             model.layout->groups.front().address);
                ostdfu_fuzz::fail("driver and model read different base addresses");
            }
        }
        h->machine().pnp().shutdown();
        ostdfu_fuzz::checkPoolEmpty(h->machine());
    }
    return 0;
}
