// Control codes come from any user-mode program: code, input bytes and output length are all
// the caller's. A device of a preset product arrives on the machine; a few requests go through
// the updater library on one handle; then the handle closes, the device is removed in order and
// the driver unloads, and the pool must be empty.
//
// Input: a preset selector, then up to kMaxRequests requests, each a code selector (below 0xF0:
// one of the driver's codes; from 0xF0: a 32-bit code follows), a 16-bit input length (modulo
// 512) with that many bytes, and a 16-bit output length (modulo 4097).
#include <cstdint>
#include <span>
#include <vector>

#include "client/updater.h"
#include "driver/product_table.h"
#include "fuzz/fuzz_support.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace {

using ostdfu_fuzz::check;

constexpr int kMaxRequests = 4;
constexpr std::size_t kMaxInput = 512;
constexpr std::size_t kMaxOutput = 4096;
// The caller chooses how often the device is polled; the driver honours any count. Capped here
// so that one input stays short.
constexpr ULONG kMaxPollIterations = 16;

constexpr std::size_t kCodeCount = std::size(IOCTL_NAMES);

ULONG pickCode(ostdfu_fuzz::InputReader& input) {
    const std::uint8_t selector = input.u8();
    if (selector >= 0xF0) return input.u32();
    return IOCTL_NAMES[selector % kCodeCount].code;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostdfu_fuzz::InputReader input(data, size);
    const auto rows = ProductRows();
    const unsigned productCode = rows[input.u8() % rows.size()].productCode;
    {
        ostdfu_test::ArrivalHarness h;
        const ostdfu_test::Arrived device = h.plug(presets::presetFor(productCode));
        auto opened = client::open();
        if (NT_SUCCESS(opened.status)) {
            for (int i = 0; i < kMaxRequests && !input.empty(); ++i) {
                const ULONG code = pickCode(input);
                std::vector<std::uint8_t> in = input.bytes(input.u16() % kMaxInput);
                const std::size_t outputLength = input.u16() % (kMaxOutput + 1);
                if (code == IOCTL_DFU_POLL_DEVICE && in.size() >= sizeof(ULONG)) {
                    in[0] = static_cast<std::uint8_t>(in[0] % (kMaxPollIterations + 1));
                    in[1] = in[2] = in[3] = 0;
                }
                const client::BytesReply reply = client::Ioctl(opened.handle, code, in, outputLength);
                check(reply.bytes.size() <= outputLength, "more bytes back than the output holds");
                check(reply.information <= std::max(outputLength, in.size()),
                      "information longer than the buffers");
            }
            opened.handle.close();
        }
        if (device.pnp->device() != nullptr) h.machine().pnp().removeDevice(*device.pnp);
        check(h.driver().unloadDriver(), "the driver did not unload");
        ostdfu_fuzz::checkPoolEmpty(h.machine());
    }
    return 0;
}
