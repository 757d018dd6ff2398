// Control codes come from any user-mode program: code, input bytes and output length are all
// the caller's. A device of a preset product arrives on the machine; a few requests go through
// the updater library on one handle; then the handle closes, the device is removed in order and
// the driver unloads, and the pool must be empty. No reply may count a byte the driver did not
// write (fuzz/caller_requests.h).
//
// Input: a preset selector, then the caller's requests as fuzz/caller_requests.h reads them.
#include <cstdint>
#include <span>
#include <vector>

#include "client/updater.h"
#include "driver/product_table.h"
#include "fuzz/caller_requests.h"
#include "fuzz/fuzz_support.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace {

ostdfu_fuzz::CallerReplies runInput(const std::uint8_t* data, std::size_t size, std::uint8_t fill) {
    ostdfu_fuzz::InputReader input(data, size);
    const auto rows = ProductRows();
    const unsigned productCode = rows[input.u8() % rows.size()].productCode;
    ostdfu_test::ArrivalHarness h;
    const ostdfu_test::Arrived device = h.plug(presets::presetFor(productCode));
    return ostdfu_fuzz::callThenTearDown(input, h, device.pnp, fill);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostdfu_fuzz::checkOnlyWrittenBytesReported(
        [data, size](std::uint8_t fill) { return runInput(data, size, fill); });
    return 0;
}
