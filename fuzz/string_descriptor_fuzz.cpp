// A string descriptor is whatever the device answers: too long, too short, odd, with a bLength
// that lies. The driver's copy must stay inside the destination, be terminated, and hold the
// characters that came back.
//
// Input: the string index asked for, the index the device has a string at, then the answer.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/support/transport_harness.h"
#include "usb/control_transfer.h"

namespace {

using ostdfu_fuzz::check;

constexpr USHORT kLanguageEnglishUs = 0x0409;
// Sizes the driver uses (the 510-byte layout buffer, the 256-byte segment slot) and the small
// and odd ones around the terminator.
constexpr ULONG kDestinationSizes[] = {1, 2, 3, 4, 5, 8, 64, 255, 256, 510};

void readInto(const ostdfu_test::TransportHarness& h, UCHAR index, ULONG destinationBytes,
              const std::vector<std::uint8_t>* answer) {
    FDO_DATA* fdo = h.fdo();
    // Exactly sized, so that a write past the destination is caught.
    std::vector<std::uint8_t> destination(destinationBytes, 0xCD);
    USB_DEVICE_DESCRIPTOR deviceDescriptor{};
    const NTSTATUS status = GetStringDescString(
        &deviceDescriptor, index, kLanguageEnglishUs, fdo->DeviceObject, fdo->AttachedDeviceObject,
        reinterpret_cast<PWSTR>(destination.data()), destinationBytes);
    if (destinationBytes < sizeof(WCHAR)) {
        check(!NT_SUCCESS(status), "a string without room for its terminator");
        return;
    }
    if (!NT_SUCCESS(status)) return;
    check(answer != nullptr, "a string read where the device has none");
    // What came back: the answer cut to the request and to the 255 bytes a descriptor holds.
    const std::size_t received =
        std::min<std::size_t>({answer->size(), destinationBytes, 255});
    const std::size_t characters = received < 2 ? 0 : (received - 2) / 2;
    check(characters * 2 + 2 <= destinationBytes, "terminator outside the destination");
    check(characters == 0 || std::equal(destination.begin(), destination.begin() + characters * 2,
                                        answer->begin() + 2),
          "characters other than the device sent");
    check(destination[characters * 2] == 0 && destination[characters * 2 + 1] == 0,
          "string not terminated after its characters");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostdfu_fuzz::InputReader input(data, size);
    const UCHAR asked = input.u8();
    const UCHAR present = input.u8();
    const std::vector<std::uint8_t> answer = input.rest();
    if (answer.size() > 1024) return -1;
    {
        ostdfu_test::TransportHarness h;
        h.end().setStringDescriptor(present, answer);
        // Index 0 is the language list, which the device has unless the input replaced it.
        const std::vector<std::uint8_t> languages = {0x04, 0x03, 0x09, 0x04};
        const std::vector<std::uint8_t>* expected =
            asked == present ? &answer : asked == 0 ? &languages : nullptr;
        for (ULONG destinationBytes : kDestinationSizes) {
            readInto(h, asked, destinationBytes, expected);
        }
        h.machine().pnp().shutdown();
        ostdfu_fuzz::checkPoolEmpty(h.machine());
    }
    return 0;
}
