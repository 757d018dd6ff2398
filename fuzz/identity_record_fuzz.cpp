// The identity area holds whatever records the application wrote. The driver takes the last
// written one; whatever the bytes, it must report a record that is there (or none), copy the
// area it read, and leave the device's memory as it was.
//
// Input: flags (bit 0: the first upload of the area is stalled, so the shorter read follows),
// then the bytes of the identity area (at most 64; the rest stays erased).
#include <cstdint>
#include <vector>

#include "context/product_data.h"
#include "dfu/device_memory.h"
#include "fuzz/fuzz_support.h"
#include "presets/presets.h"
#include "sim/faults.h"
#include "tests/support/dfu_harness.h"

namespace {

using ostdfu_fuzz::check;

constexpr std::size_t kMaxArea = 64;

USHORT wordAt(const std::vector<UCHAR>& area, std::size_t offset) {
    return static_cast<USHORT>(area[offset] | area[offset + 1] << 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostdfu_fuzz::InputReader input(data, size);
    const std::uint8_t flags = input.u8();
    std::vector<UCHAR> area = input.rest();
    if (area.size() > kMaxArea) return -1;
    {
        ostdfu_test::DfuHarness h(presets::blankBootloader());
        FDO_DATA* fdo = h.fdo();
        fdo->DeviceCaps2.ReadAppIdFromMemory = 1;
        const ULONG address = fdo->DeviceCaps2.Segment2Base;
        if (!area.empty()) h.bootloader().write(address, area);
        const auto before = h.bootloader().read(address, APP_ID_RECORD_SIZE);
        if ((flags & 1) != 0) {
            h.bootloader().addFault({sim::FaultRequest::Upload, 1, 1, sim::FaultAction::Stall, {}});
        }
        USHORT pid = 1, vid = 1, variant = 1;
        const NTSTATUS status =
            ST32DFUReadAppPIDVIDInDeviceMemorySpace(h.device(), &pid, &vid, &variant);
        if (NT_SUCCESS(status)) {
            check(fdo->AppIdRecordValid == 1, "identity read without a record copy");
            bool found = pid == 0 && vid == 0 && variant == 0;
            for (std::size_t offset = 0; offset + 8 <= before.size(); offset += 8) {
                found |= wordAt(before, offset) == pid && wordAt(before, offset + 2) == vid &&
                         wordAt(before, offset + 4) == variant;
            }
            check(found, "identity that no record holds");
            check(pid != 0xFFFF, "the erased product ID taken for a record");
        }
        check(h.bootloader().read(address, APP_ID_RECORD_SIZE) == before,
              "reading the identity changed the device's memory");
        h.machine().pnp().shutdown();
        ostdfu_fuzz::checkPoolEmpty(h.machine());
    }
    return 0;
}
