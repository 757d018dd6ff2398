// The driver package as it ships (package/ostdfu.inf): it installs for the bootloader's hardware
// ID on x64, as the framework service the machine loads, and its Parameters key holds exactly
// the defaults the driver assumes when a value is absent.
#include <gtest/gtest.h>

#include "host/machine.h"
#include "host/registry/inf_file.h"
#include "tests/support/file_contents.h"

namespace {

std::string shippedInf() {
    return ostdfu_test::fileContents(OSTDFU_SOURCE_DIR "/package/ostdfu.inf");
}

TEST(DriverPackage, InstallsTheFrameworkServiceForTheBootloader) {
    for (const char* hardwareId : {"USB\\VID_0483&PID_DF11", "usb\\vid_0483&pid_df11"}) {
        SCOPED_TRACE(hardwareId);
        host::Machine machine;
        const host::InfInstallation installed =
            host::installInf(machine.registry(), shippedInf(), hardwareId, "package/ostdfu.inf");
        EXPECT_EQ(installed.service, u"ostdfu");
        EXPECT_EQ(installed.kmdfLibraryVersion, "1.15");
        const auto start = machine.registry().value(installed.serviceKey, u"Start");
        ASSERT_TRUE(start);
        EXPECT_EQ(start->data, (std::vector<std::uint8_t>{3, 0, 0, 0}));  // on demand, by PnP
    }
}

TEST(DriverPackage, ParametersHoldTheDriversOwnDefaults) {
    struct Default {
        const char16_t* name;
        std::uint32_t value;
    };
    const Default defaults[] = {
        {u"mapFromOtpPID", 0x0BADF00D},         {u"mapToOtpPID", 0x0BADF00D},
        {u"MapFromOtpVID", 0x0BADF00D},         {u"MapToOtpVID", 0x0BADF00D},
        {u"ReadUnProtectIfReadProtected", 0},   {u"TestReadProtectWithFlashAlso", 0},
        {u"STMBootloaderCommandNoPollWait", 0}, {u"STMAreOptionByteWritesAllowed", 0},
        {u"NumDfuBootIterBusyWaits", 75},
    };
    host::Machine machine;
    const host::InfInstallation installed =
        host::installInf(machine.registry(), shippedInf(), "USB\\VID_0483&PID_DF11");
    const std::u16string parameters = installed.serviceKey + u"\\Parameters";
    for (const Default& d : defaults) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(d.name)));
        const auto value = machine.registry().value(parameters, d.name);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, static_cast<ULONG>(REG_DWORD));
        EXPECT_EQ(value->data,
                  (std::vector<std::uint8_t>{static_cast<std::uint8_t>(d.value),
                                             static_cast<std::uint8_t>(d.value >> 8),
                                             static_cast<std::uint8_t>(d.value >> 16),
                                             static_cast<std::uint8_t>(d.value >> 24)}));
    }
}

TEST(DriverPackage, OtherDevicesOfTheVendorAreNotTaken) {
    host::Machine machine;
    EXPECT_THROW(host::installInf(machine.registry(), shippedInf(), "USB\\VID_0483&PID_5740"),
                 host::InfError);
}

}  // namespace
