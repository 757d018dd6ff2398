// The EEPROM section is device memory the application wrote: any bytes at all. The entry
// lookups of both formats and the assembly of the manufacturer serial must stay inside the
// section copy and leave the device's memory as it was.
//
// Input: flags (bit 0: the format-1 product with old firmware, bit 1: want the byte before the
// serial, bit 2: a section of two transfer blocks), the erased value, the first key (16 bits),
// the serial length, a lookup key (16 bits), then the section (padded with the erased value).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "context/product_data.h"
#include "dfu/device_memory.h"
#include "fuzz/fuzz_support.h"
#include "presets/presets.h"
#include "tests/support/dfu_harness.h"

namespace {

using ostdfu_fuzz::check;

constexpr ULONG kSectionAddress = 0x08004000;
constexpr ULONG kTransferSize = 2048;

void lookUp(WDFDEVICE device, const std::vector<UCHAR>& section, UCHAR erased, USHORT key) {
    // Exactly sized copies, so that a read past the section is caught.
    std::vector<UCHAR> copy(section);
    UCHAR value = 0;
    const NTSTATUS one = ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(
        device, copy.data(), static_cast<ULONG>(copy.size()), static_cast<UCHAR>(key), &value);
    if (!NT_SUCCESS(one) || value != erased) {
        bool present = false;
        for (std::size_t i = 0; i + 1 < copy.size(); i += 2) {
            present |= copy[i] == static_cast<UCHAR>(key) && copy[i + 1] == value;
        }
        check(value == erased || present, "format 1 value that no entry holds");
    }

    UCHAR record[8];
    const NTSTATUS two = ST32DFUReadOneByteFromRawEEPROMDataVersion2(
        device, copy.data(), static_cast<ULONG>(copy.size()), key, &value, record);
    if (NT_SUCCESS(two)) {
        const ULONG base = static_cast<ULONG>(record[0] | record[1] << 8);
        check(base <= key && key < base + 6, "format 2 record that does not hold the index");
        check(value == record[2 + (key - base)], "format 2 value outside its record");
    } else {
        check(value == erased, "format 2 failure with a value");
        check(std::all_of(record + 2, record + 8, [&](UCHAR b) { return b == erased; }),
              "format 2 failure with a record");
    }
    check(copy == section, "a lookup changed the section copy");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostdfu_fuzz::InputReader input(data, size);
    const std::uint8_t flags = input.u8();
    const UCHAR erased = input.u8();
    const USHORT firstKey = input.u16();
    const UCHAR serialLength = input.u8() & 0x0F;
    const USHORT key = input.u16();
    const ULONG sectionSize = (flags & 4) != 0 ? 2 * kTransferSize : kTransferSize;
    std::vector<UCHAR> section = input.bytes(sectionSize);
    if (!input.empty()) return -1;
    section.resize(sectionSize, erased);
    {
        ostdfu_test::DfuHarness h(presets::blankBootloader());
        FDO_DATA* fdo = h.fdo();
        DEVICE_CAPS2& caps = fdo->DeviceCaps2;
        caps.EepromPresent = 1;
        caps.ErasedByteValue = erased;
        caps.SerialFirstKey = firstKey;
        caps.SerialLength = serialLength;
        caps.EepromSectionSize = sectionSize;
        caps.EepromSectionAddress = kSectionAddress;
        if ((flags & 1) != 0) {
            fdo->ProductType = EEPROM_FORMAT1_PRODUCT_VALUE;
            caps.FirmwareVersion = EEPROM_FORMAT1_LAST_VERSION;
        }
        lookUp(h.device(), section, erased, key);

        h.bootloader().write(kSectionAddress, section);
        const auto before = h.bootloader().read(kSectionAddress, sectionSize);
        ULONG64 serial = 0xDEADBEEF;
        UCHAR preceding = 0;
        const NTSTATUS status = ST32DFUReadManuSerialNumberInDeviceMemorySpace(
            h.device(), kSectionAddress, firstKey, &serial, (flags & 2) != 0 ? 1 : 0, &preceding);
        if (status == STATUS_INVALID_DEVICE_REQUEST || status == STATUS_INVALID_DEVICE_STATE) {
            check(serial == 0, "a refused read with a serial");
        }
        if ((flags & 1) == 0 && serialLength >= 1 && serialLength < 8) {
            check((serial >> (8 * serialLength)) == 0, "serial longer than its length");
        }
        check(h.bootloader().read(kSectionAddress, sectionSize) == before,
              "reading the serial changed the device's memory");
        h.machine().pnp().shutdown();
        ostdfu_fuzz::checkPoolEmpty(h.machine());
    }
    return 0;
}
