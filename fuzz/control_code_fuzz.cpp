// Control codes come from any user-mode program: code, input bytes and output length are all
// the caller's. A device of a preset product arrives on the machine; a few requests go through
// the updater library on one handle; then the handle closes, the device is removed in order and
// the driver unloads, and the pool must be empty.
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostdfu_fuzz::InputReader input(data, size);
    const auto rows = ProductRows();
    const unsigned productCode = rows[input.u8() % rows.size()].productCode;
    {
        ostdfu_test::ArrivalHarness h;
        const ostdfu_test::Arrived device = h.plug(presets::presetFor(productCode));
        auto opened = client::open();
        if (NT_SUCCESS(opened.status)) {
            ostdfu_fuzz::sendCallerRequests(input, opened.handle);
            opened.handle.close();
        }
        if (device.pnp->device() != nullptr) h.machine().pnp().removeDevice(*device.pnp);
        ostdfu_fuzz::check(h.driver().unloadDriver(), "the driver did not unload");
        ostdfu_fuzz::checkPoolEmpty(h.machine());
    }
    return 0;
}
