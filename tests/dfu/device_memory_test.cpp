// Reads and writes of device memory through the bootloader: segment discovery, the protection
// test, option bytes, identity records, version blocks and the EEPROM section. Reads must leave
// the device's memory as it was; erases must touch exactly their pages.
#include <gtest/gtest.h>

#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "driver/segments.h"
#include "presets/presets.h"
#include "tests/dfu/dfu_test_support.h"
#include "tests/support/arrival_harness.h"
#include "tests/support/dfu_harness.h"

namespace ostdfu_test {
namespace {

constexpr std::uint8_t kSetInterface = 0x0B;

SetupMatcher setInterfaceTo(std::uint16_t setting) {
    return [setting](const host::SetupPacket& s) {
        return s.bmRequestType == 0x01 && s.bRequest == kSetInterface && s.wValue == setting;
    };
}

int setInterfaces(const DfuHarness& h, std::uint16_t setting) {
    int n = 0;
    for (const auto& t : h.traffic()) {
        n += t.setup[0] == 0x01 && t.setup[1] == kSetInterface && t.setup[2] == setting;
    }
    return n;
}

// ---- segment discovery ---------------------------------------------------------------------

TEST(Segments, BaseAddressIsTheHexBetweenTheFirstTwoSlashes) {
    struct Case {
        std::u16string layout;
        ULONG base;
    };
    const Case cases[] = {
        {u"@Internal Flash  /0x08000000/128*0002Kg", 0x08000000},
        {u"@Option Bytes  /0x1FFFF800/01*016 e", 0x1FFFF800},
        {u"@Internal Flash  /0x08000000", 0},          // one slash only
        {u"@Flash/08000000/04*016Kg/0x1000/", 0},       // no 0x in the first field
        {u"@Flash/0x/04*016Kg", 0},                     // no digits
    };
    for (const Case& c : cases) {
        auto h = DfuHarness::scripted();
        h->script().setString(4, c.layout);
        EXPECT_EQ(GetSegmentBaseAddress(h->device(), 1), c.base);
        EXPECT_EQ(std::u16string(h->fdo()->SegmentString1), c.layout);
    }
}

TEST(Segments, OutOfRangeOrMissingSettingGivesZero) {
    auto h = DfuHarness::scripted();
    EXPECT_EQ(GetSegmentBaseAddress(h->device(), 0), 0u);
    EXPECT_EQ(GetSegmentBaseAddress(h->device(), 5), 0u);
    EXPECT_TRUE(h->traffic().empty());
    h->fdo()->DeviceCaps2.Segment2AltSetting = 7;  // the interface has settings 0 to 3
    EXPECT_EQ(GetSegmentBaseAddress(h->device(), 2), 0u);
    EXPECT_TRUE(h->traffic().empty());
}

TEST(Segments, FindersReturnTheFirstMatch) {
    auto h = DfuHarness::scripted();
    const auto* first = FindInterfaceDescriptor(h->device(), nullptr, -1, -1, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bAlternateSetting, 0);
    const auto* functional = FindDescriptor(h->device(), h->fdo()->DfuFunctionalDescriptor, 0x21);
    EXPECT_EQ(static_cast<const void*>(functional), h->fdo()->DfuFunctionalDescriptor)
        << "a start that already matches is the answer";
}

// ---- the protection test ---------------------------------------------------------------------

presets::PresetOptions readProtected() {
    presets::PresetOptions options;
    options.readProtected = true;
    return options;
}

TEST(ProtectionTest, ReadProtectedFlashAnswersWithTheErrorState) {
    DfuHarness h(presets::presetFor(41, readProtected()));
    UCHAR isProtected = 0;
    EXPECT_EQ(IsST32DeviceReadProtected(h.device(), 1, &isProtected), STATUS_SUCCESS);
    EXPECT_EQ(isProtected, 1);
    EXPECT_EQ(h.bootloader().alternateSetting(), 0) << "the flash segment is selected again";
    EXPECT_EQ(h.bootloader().state(), sim::DfuState::DfuIdle);
    EXPECT_EQ(h.delaysMs(), (std::vector<std::uint64_t>{1000}));
    const auto requests = h.dfuRequests();
    EXPECT_EQ(requests.back(), DFU_GETSTATE);
    EXPECT_EQ(h.count(DFU_CLRSTATUS), 1) << "the error is cleared";
}

TEST(ProtectionTest, ReadableFlashLeavesTheUploadOpenAndIsAborted) {
    DfuHarness h(presets::presetFor(41));
    UCHAR isProtected = 1;
    EXPECT_EQ(IsST32DeviceReadProtected(h.device(), 0, &isProtected), STATUS_SUCCESS);
    EXPECT_EQ(isProtected, 0);
    EXPECT_EQ(h.bootloader().state(), sim::DfuState::DfuIdle);
    const auto r = h.dfuRequests();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(std::vector<UCHAR>(r.end() - 3, r.end()),
              (std::vector<UCHAR>{DFU_GETSTATE, DFU_ABORT, DFU_GETSTATE}));
}

TEST(ProtectionTest, TheProbeReadsTheFlashWhereverThePointerWasLeft) {
    sim::BootloaderConfig config = presets::presetFor(41);
    config.initialAddressPointer = 0x00000000;  // no segment: a read there fails
    DfuHarness h(config);
    UCHAR isProtected = 1;
    EXPECT_EQ(IsST32DeviceReadProtected(h.device(), 0, &isProtected), STATUS_SUCCESS);
    EXPECT_EQ(isProtected, 0) << "readable flash is not judged protected";
    EXPECT_EQ(h.bootloader().addressPointer(), 0x08000000u);
}

TEST(ProtectionTest, NeedsUploadAndDownloadBeforeAnyRequest) {
    sim::BootloaderConfig config = presets::presetFor(41);
    config.functional.bmAttributes = 0x09;  // will detach, download; no upload
    DfuHarness h(config);
    UCHAR isProtected = 1;
    EXPECT_EQ(IsST32DeviceReadProtected(h.device(), 1, &isProtected), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(isProtected, 0);
    EXPECT_TRUE(h.traffic().empty());
}

// ---- option bytes ----------------------------------------------------------------------------

TEST(OptionBytes, ReadCopiesSixteenBytesWhateverTheBuffer) {
    DfuHarness h(presets::presetFor(41));
    const auto image = h.bootloader().read(0x1FFFF800, 16);
    UCHAR buffer[64];
    std::memset(buffer, 0xEE, sizeof(buffer));
    ULONG read = 0;
    EXPECT_EQ(ST32DFUReadOptionBytesInDeviceMemorySpace(h.device(), buffer, 64, &read),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 16), image);
    EXPECT_EQ(buffer[16], 0xEE);
    EXPECT_EQ(h.bootloader().alternateSetting(), 0);

    h.clear();
    EXPECT_EQ(ST32DFUReadOptionBytesInDeviceMemorySpace(h.device(), buffer, 15, &read),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(h.traffic().empty());
}

TEST(OptionBytes, WritesNeedPermissionAndAtMostSixteenBytes) {
    DfuHarness h(presets::presetFor(41));
    const std::vector<std::uint8_t> image(16, 0x3C);
    EXPECT_EQ(ST32DFUWriteOptionBytesInDeviceMemorySpace(h.device(), image.data(), 16),
              STATUS_INVALID_DEVICE_REQUEST);
    h.fdo()->STMAreOptionByteWritesAllowed = 1;
    const std::vector<std::uint8_t> tooLong(17, 0x3C);
    EXPECT_EQ(ST32DFUWriteOptionBytesInDeviceMemorySpace(h.device(), tooLong.data(), 17),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(h.traffic().empty());

    EXPECT_EQ(ST32DFUWriteOptionBytesInDeviceMemorySpace(h.device(), image.data(), 16),
              STATUS_SUCCESS);
    EXPECT_EQ(h.bootloader().read(0x1FFFF800, 16), image);
}

// The scripted flow of one option-byte transaction: DfuSetIdle, set address (busy, done),
// DfuSetIdle, then the transfer.
void scriptOptionTransaction(ScriptedDeviceEnd& end, StatusAnswer afterTransfer) {
    acceptAlways(end, DFU_ABORT);
    acceptAlways(end, DFU_CLRSTATUS);
    acceptAlways(end, DFU_DNLOAD);
    end.script(requestMatcher(kClassIn, DFU_UPLOAD), ScriptedReply::answer(Bytes(16, 0xA5)), -1);
    scriptStatuses(end,
                   {answer(0, 0, dfuIDLE), answer(0, 0, dfuDNBUSY), answer(0, 0, dfuDNLOAD_IDLE),
                    answer(0, 0, dfuIDLE), afterTransfer},
                   answer(0, 0, dfuIDLE));
}

TEST(OptionBytes, AFailedReselectionIsReportedAfterAReadButNotAfterAWrite) {
    {
        auto h = DfuHarness::scripted();
        scriptOptionTransaction(h->script(), answer(0, 0, dfuIDLE));
        h->script().script(setInterfaceTo(0), ScriptedReply::stall(), -1);
        UCHAR buffer[16] = {};
        ULONG read = 0;
        EXPECT_EQ(ST32DFUReadOptionBytesInDeviceMemorySpace(h->device(), buffer, 16, &read),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(buffer[0], 0xA5) << "the bytes are there all the same";
    }
    {
        auto h = DfuHarness::scripted();
        h->fdo()->STMAreOptionByteWritesAllowed = 1;
        scriptOptionTransaction(h->script(), answer(0, 100, dfuDNBUSY));
        h->script().script(setInterfaceTo(0), ScriptedReply::stall(), -1);
        const UCHAR image[16] = {};
        EXPECT_EQ(ST32DFUWriteOptionBytesInDeviceMemorySpace(h->device(), image, 16),
                  STATUS_SUCCESS);
    }
}

TEST(OptionBytes, AWriteTheDeviceIsNotBusyWithFailed) {
    auto h = DfuHarness::scripted();
    h->fdo()->STMAreOptionByteWritesAllowed = 1;
    scriptOptionTransaction(h->script(), answer(0, 0, dfuDNLOAD_IDLE));
    const UCHAR image[16] = {};
    EXPECT_EQ(ST32DFUWriteOptionBytesInDeviceMemorySpace(h->device(), image, 16),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(h->count(DFU_GETSTATUS), 5) << "one status after the write, no more";
}

// ---- identity records ------------------------------------------------------------------------

std::vector<std::uint8_t> record(USHORT pid, USHORT vid, USHORT variant) {
    return {static_cast<std::uint8_t>(pid), static_cast<std::uint8_t>(pid >> 8),
            static_cast<std::uint8_t>(vid), static_cast<std::uint8_t>(vid >> 8),
            static_cast<std::uint8_t>(variant), static_cast<std::uint8_t>(variant >> 8), 0xFF, 0xFF};
}

TEST(IdentityRecords, TheLastWrittenRecordCounts) {
    DfuHarness h(presets::blankBootloader());
    USHORT pid = 1, vid = 1, variant = 1;
    EXPECT_EQ(ST32DFUReadAppPIDVIDInDeviceMemorySpace(h.device(), &pid, &vid, &variant),
              STATUS_SUCCESS);
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(vid, 0);
    EXPECT_EQ(variant, 0);
    EXPECT_EQ(h.fdo()->AppIdRecordValid, 1u);
    EXPECT_EQ(std::vector<UCHAR>(h.fdo()->AppIdRecord, h.fdo()->AppIdRecord + 40),
              std::vector<UCHAR>(40, 0xFF));

    h.bootloader().write(0x1FFF7800, record(0x1111, 0x2222, 0x3333));
    h.bootloader().write(0x1FFF7808, record(0x4444, 0x5555, 0x6666));
    EXPECT_EQ(ST32DFUReadAppPIDVIDInDeviceMemorySpace(h.device(), &pid, &vid, &variant),
              STATUS_SUCCESS);
    EXPECT_EQ(pid, 0x4444);
    EXPECT_EQ(vid, 0x5555);
    EXPECT_EQ(variant, 0x6666);
    EXPECT_EQ(h.bootloader().alternateSetting(), 0);
}

TEST(IdentityRecords, AShorterReadFollowsAFailedOne) {
    DfuHarness h(presets::presetFor(41));
    h.bootloader().addFault({sim::FaultRequest::Upload, 1, 1, sim::FaultAction::Stall, {}});
    USHORT pid = 0, vid = 0, variant = 0;
    EXPECT_EQ(ST32DFUReadAppPIDVIDInDeviceMemorySpace(h.device(), &pid, &vid, &variant),
              STATUS_SUCCESS);
    EXPECT_EQ(pid, 0x5029);
    const UCHAR* area = h.fdo()->AppIdRecord;
    EXPECT_EQ(std::vector<UCHAR>(area + 32, area + 40), std::vector<UCHAR>(8, 0))
        << "the fifth record was not read";
}

TEST(IdentityRecords, AnIdentitySegmentThatCannotBeSelectedEndsTheRead) {
    auto h = DfuHarness::scripted();
    h->script().script(setInterfaceTo(2), ScriptedReply::stall(), -1);
    acceptAlways(h->script(), DFU_ABORT);
    scriptStatuses(h->script(), {}, answer(0, 0, dfuIDLE));
    USHORT pid = 0, vid = 0, variant = 0;
    EXPECT_EQ(ST32DFUReadAppPIDVIDInDeviceMemorySpace(h->device(), &pid, &vid, &variant),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(setInterfaces(*h, 2), 2) << "one try per attempt";
    EXPECT_EQ(setInterfaces(*h, 0), 0) << "the flash segment was never left";
}

// ---- firmware versions -----------------------------------------------------------------------

TEST(FirmwareVersion, LayoutsOfTheLastEightBytes) {
    struct Case {
        const char* name;
        USHORT vid, pid;
        std::vector<std::uint8_t> tail;
        USHORT version, secondary;
    };
    const Case cases[] = {
        {"layout 1", 0x3A7C, 0x5023, {0, 0, 0, 0, 0, 0, 0x01, 0x2A}, 0x012A, 0},
        {"layout 2", 0x3A7C, 0x5029, {0, 0, 0, 0, 0x34, 0x12, 0, 0}, 0x1234, 0},
        {"layout 2 by another vendor", 0x0001, 0x5023, {0, 0, 0, 0, 0x34, 0x12, 0, 0}, 0x1234, 0},
        {"layout 3", 0x3A7C, 0x5031, {0x05, 0x01, 0xFF, 0xFF, 0x07, 0x00, 0xFF, 0xFF}, 0x0105, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DfuHarness h(presets::blankBootloader());
        FDO_DATA* fdo = h.fdo();
        fdo->AppVid = c.vid;
        fdo->AppPid = c.pid;
        fdo->DeviceCaps2.VersionLocationValid = 1;
        h.bootloader().write(0x08004000 + 2048 - 8, c.tail);
        USHORT version = 0, secondary = 0xEEEE;
        EXPECT_EQ(ST32DFUReadUpperVersionInDeviceMemorySpace(h.device(), 0x08004000, 0, 0, &version,
                                                             &secondary),
                  STATUS_SUCCESS);
        EXPECT_EQ(version, c.version);
        EXPECT_EQ(secondary, c.secondary);
    }
}

TEST(FirmwareVersion, ReadSizesOutsideTheTransferSizeAreRefusedWithoutTraffic) {
    DfuHarness h(presets::blankBootloader());
    h.fdo()->DeviceCaps2.VersionLocationValid = 1;
    USHORT version = 0x4242;
    // One byte past the 2048-byte transfer size is as far past as any; fewer than 8 bytes would
    // put the layouts' words before the block.
    const struct {
        ULONG size;
        NTSTATUS status;
    } refused[] = {{2049, STATUS_NOT_IMPLEMENTED}, {4096, STATUS_NOT_IMPLEMENTED}, {7, STATUS_INVALID_PARAMETER},
                   {4, STATUS_INVALID_PARAMETER}};
    for (const auto& row : refused) {
        EXPECT_EQ(ST32DFUReadUpperVersionInDeviceMemorySpace(h.device(), 0x08004000, 0, row.size, &version,
                                                             nullptr),
                  row.status)
            << row.size;
    }
    EXPECT_TRUE(h.traffic().empty());
    EXPECT_EQ(version, 0x4242);
    h.fdo()->DeviceCaps2.VersionLocationValid = 0;
    EXPECT_EQ(ST32DFUReadUpperVersionInDeviceMemorySpace(h.device(), 0x08004000, 0, 0, &version,
                                                         nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
}

// ---- the EEPROM section ----------------------------------------------------------------------

std::vector<std::uint8_t> section(std::initializer_list<std::uint8_t> entries) {
    std::vector<std::uint8_t> bytes(entries);
    bytes.resize(2048, 0xFF);
    return bytes;
}

TEST(EepromLookup, FormatOneKeepsTheLastOccurrence) {
    auto h = DfuHarness::scripted();
    h->fdo()->DeviceCaps2.EepromSectionSize = 2048;
    const auto bytes = section({0x05, 0xAA, 0x05, 0xBB});
    UCHAR value = 0;
    EXPECT_EQ(ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(h->device(), bytes.data(),
                                                                       2048, 5, &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 0xBB);
    EXPECT_EQ(ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(h->device(), bytes.data(),
                                                                       2048, 6, &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFF);
    const auto empty = section({});
    EXPECT_EQ(ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(h->device(), empty.data(),
                                                                       2048, 5, &value),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(h->device(), bytes.data(),
                                                                       1024, 5, &value),
              STATUS_INVALID_PARAMETER);
}

TEST(EepromLookup, FormatTwoLaterRecordsOverrideTheirIndexesOnly) {
    auto h = DfuHarness::scripted();
    h->fdo()->DeviceCaps2.EepromSectionSize = 2048;
    const auto bytes = section({0x00, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                0x00, 0x04, 0x99, 0x98, 0x97, 0x96, 0x95, 0x94});
    UCHAR value = 0;
    UCHAR found[8];
    EXPECT_EQ(ST32DFUReadOneByteFromRawEEPROMDataVersion2(h->device(), bytes.data(), 2048, 3,
                                                           &value, found),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 0x11);
    EXPECT_EQ(ST32DFUReadOneByteFromRawEEPROMDataVersion2(h->device(), bytes.data(), 2048, 4,
                                                           &value, found),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 0x99);
    EXPECT_EQ(found[0], 0x04) << "the base index comes back little-endian";
    EXPECT_EQ(found[1], 0x00);
    EXPECT_EQ(ST32DFUReadOneByteFromRawEEPROMDataVersion2(h->device(), bytes.data(), 2048, 10,
                                                           &value, found),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0xFF);
}

// A device with the EEPROM section of the example at 0x08004000 (2 KiB, first key 3).
std::unique_ptr<DfuHarness> eepromDevice(ULONG serialLength, std::vector<std::uint8_t> bytes) {
    auto h = std::make_unique<DfuHarness>(presets::blankBootloader());
    DEVICE_CAPS2& caps = h->fdo()->DeviceCaps2;
    caps.EepromPresent = 1;
    caps.SerialFirstKey = 3;
    caps.SerialLength = serialLength;
    caps.EepromSectionSize = 2048;
    caps.EepromSectionAddress = 0x08004000;
    h->bootloader().write(0x08004000, bytes);
    h->clear();
    return h;
}

TEST(ManufacturerSerial, FormatTwoAssemblesTheSerialFromItsIndexes) {
    const auto bytes = section({0x00, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    {
        auto h = eepromDevice(6, bytes);
        ULONG64 serial = 1;
        EXPECT_EQ(ST32DFUReadManuSerialNumberInDeviceMemorySpace(h->device(), 0x08004000, 3,
                                                                 &serial, 0, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(serial, 0x0000665544332211ull);
        EXPECT_EQ(h->count(DFU_UPLOAD), 1) << "one block of wTransferSize";
    }
    {
        auto h = eepromDevice(8, bytes);
        ULONG64 serial = 1;
        EXPECT_EQ(ST32DFUReadManuSerialNumberInDeviceMemorySpace(h->device(), 0x08004000, 3,
                                                                 &serial, 0, nullptr),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(serial, 0xFFFF665544332211ull) << "what was found stays";
    }
}

TEST(ManufacturerSerial, FormatOneForItsProductAndOlderFirmware) {
    auto h = eepromDevice(8, section({2, 0x77, 3, 0x01, 4, 0x02, 5, 0x03, 6, 0x04, 7, 0x05, 8,
                                      0x06, 9, 0x07, 10, 0x08}));
    h->fdo()->ProductType = 0x5029;
    h->fdo()->DeviceCaps2.FirmwareVersion = 0x030A;
    ULONG64 serial = 0;
    UCHAR preceding = 0;
    EXPECT_EQ(ST32DFUReadManuSerialNumberInDeviceMemorySpace(h->device(), 0x08004000, 3, &serial,
                                                             1, &preceding),
              STATUS_SUCCESS);
    EXPECT_EQ(serial, 0x0807060504030201ull);
    EXPECT_EQ(preceding, 0x77);
}

TEST(ManufacturerSerial, RefusedWithoutAnEepromOrAWholeNumberOfBlocks) {
    auto h = eepromDevice(8, section({}));
    ULONG64 serial = 5;
    h->fdo()->DeviceCaps2.EepromSectionSize = 3000;
    EXPECT_EQ(ST32DFUReadManuSerialNumberInDeviceMemorySpace(h->device(), 0x08004000, 3, &serial,
                                                             0, nullptr),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(serial, 0u);
    h->fdo()->DeviceCaps2.SerialLength = 9;
    EXPECT_EQ(ST32DFUReadManuSerialNumberInDeviceMemorySpace(h->device(), 0x08004000, 3, &serial,
                                                             0, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(h->traffic().empty());
}

// A short upload is a failed read: the cleared rest of the buffer is not device data.
TEST(ShortUploads, FailTheVersionAndTheSectionRead) {
    const sim::Fault shortUpload{sim::FaultRequest::Upload, 1, 1, sim::FaultAction::Reply,
                                 std::vector<std::uint8_t>(1024, 0x11)};
    {
        DfuHarness h(presets::blankBootloader());
        h.fdo()->AppVid = 0x3A7C;
        h.fdo()->AppPid = 0x5029;
        h.fdo()->DeviceCaps2.VersionLocationValid = 1;
        h.bootloader().addFault(shortUpload);
        USHORT version = 0x4242;
        EXPECT_EQ(ST32DFUReadUpperVersionInDeviceMemorySpace(h.device(), 0x08004000, 0, 0, &version,
                                                             nullptr),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(version, 0x4242);
    }
    {
        auto h = eepromDevice(6, section({0x00, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
        sim::Fault fault = shortUpload;
        fault.reply = {0x00, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
        h->bootloader().addFault(fault);
        ULONG64 serial = 1;
        EXPECT_EQ(ST32DFUReadManuSerialNumberInDeviceMemorySpace(h->device(), 0x08004000, 3,
                                                                 &serial, 0, nullptr),
                  STATUS_UNSUCCESSFUL);
    }
}

// ---- erase and nothing lost --------------------------------------------------------------------

std::vector<std::uint32_t> erasedPages(const std::vector<host::usb::TrafficEntry>& traffic) {
    std::vector<std::uint32_t> pages;
    for (const auto& t : traffic) {
        if (t.setup[0] == 0x21 && t.setup[1] == DFU_DNLOAD && t.setup[2] == 0 &&
            t.data.size() == 5 && t.data[0] == 0x41) {
            pages.push_back(t.data[1] | t.data[2] << 8 | t.data[3] << 16 |
                            std::uint32_t{t.data[4]} << 24);
        }
    }
    return pages;
}

TEST(EepromErase, ErasesEveryPageOfItsSectionAndNothingElse) {
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(27));  // section 2 KiB, auxiliary 32 KiB
    sim::Bootloader& rom = *device.rom;
    const std::vector<std::uint8_t> mark(16, 0x5A);
    for (std::uint32_t address : {0x08037000u, 0x08037800u, 0x0803F000u, 0x0803F800u, 0x0803FFF0u}) {
        rom.write(address, mark);
    }
    device.bus->clearTraffic();
    EXPECT_EQ(ST32DFUEraseEEPROMSectionInDeviceMemorySpace(device.device(), 0), STATUS_SUCCESS);
    EXPECT_EQ(erasedPages(device.bus->traffic()), (std::vector<std::uint32_t>{0x0803F800}));
    EXPECT_EQ(rom.read(0x0803F800, 16), std::vector<std::uint8_t>(16, 0xFF));
    EXPECT_EQ(rom.read(0x0803FFF0, 16), std::vector<std::uint8_t>(16, 0xFF));
    EXPECT_EQ(rom.read(0x0803F000, 16), mark);

    device.bus->clearTraffic();
    EXPECT_EQ(ST32DFUEraseEEPROMSectionInDeviceMemorySpace(device.device(), 1), STATUS_SUCCESS);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t p = 0; p < 16; ++p) expected.push_back(0x08037800 + p * 2048);
    EXPECT_EQ(erasedPages(device.bus->traffic()), expected);
    EXPECT_EQ(rom.read(0x08037800, 16), std::vector<std::uint8_t>(16, 0xFF));
    EXPECT_EQ(rom.read(0x08037000, 16), mark);

    device.bus->clearTraffic();
    EXPECT_EQ(ST32DFUEraseEEPROMSectionInDeviceMemorySpace(device.device(), 2),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(device.bus->traffic().empty());
}

TEST(NothingLost, ArrivalAndEveryReadLeaveTheMemoryAsItWas) {
    for (unsigned code : {35u, 36u, 41u, 49u, 27u, 61u}) {
        SCOPED_TRACE(code);
        const sim::BootloaderConfig config = presets::presetFor(code);
        ArrivalHarness h;
        const std::uint32_t before = sim::Bootloader(config, h.machine().clock()).crc32();
        const Arrived device = h.plug(config);
        EXPECT_EQ(device.rom->crc32(), before);
        UCHAR buffer[16];
        ULONG read = 0;
        ST32DFUReadOptionBytesInDeviceMemorySpace(device.device(), buffer, 16, &read);
        UCHAR isProtected = 0;
        IsST32DeviceReadProtected(device.device(), 1, &isProtected);
        EXPECT_EQ(device.rom->crc32(), before);
    }
}

}  // namespace
}  // namespace ostdfu_test
