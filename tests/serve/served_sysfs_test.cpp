// What the system shows of a served device besides its node: the sysfs attributes the kernel
// gives every USB device and hub, which udev rules (ATTRS{serial}), udev libraries and lsusb
// read, and `lsusb -v` as a whole against one made of a real ROM.
#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/serve/served_run.h"
#include "tests/support/file_contents.h"

namespace {

using ostdfu_serve::serve;
using ostdfu_serve::ServeRun;
using ServedSysfs = ostdfu_serve::ServedTest;

std::vector<std::string> wordsOf(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// lsusb's output without what differs from machine to machine and from one lsusb to the next:
// the bus and device numbers, the names it looks up in the ID database, the spacing, and whether
// it prints a length in decimal or hex.
std::vector<std::string> comparable(const std::string& text) {
    static const std::vector<std::string> named = {"idVendor",        "idProduct",          "bDeviceClass",
                                                   "bDeviceSubClass", "bDeviceProtocol",    "bInterfaceClass",
                                                   "bInterfaceSubClass", "bInterfaceProtocol"};
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> words = wordsOf(line);
        if (words.empty()) continue;
        if (words[0] == "Bus" && words.size() >= 6) {
            words = {words[4], words[5]};  // "ID 0483:df11"
        } else if (words.size() >= 2) {
            if (std::find(named.begin(), named.end(), words[0]) != named.end()) words.resize(2);
            const std::string& value = words[1];
            const bool hex = value.rfind("0x", 0) == 0 && value.size() > 2 &&
                             value.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
            if (words[0] == "wTotalLength" && (hex || value.find_first_not_of("0123456789") == std::string::npos)) {
                words[1] = std::to_string(std::stoul(value, nullptr, hex ? 16 : 10));
            }
        }
        std::string joined;
        for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
        lines.push_back(joined);
    }
    return lines;
}

TEST_F(ServedSysfs, DevicesAndHubsHaveTheKernelsAttributes) {
    // A device below a hub: the hub is given address 2, the device 3.
    const auto scenario = folder_.write("bus.json", R"({"devices": [{"name": "unit", "location": [15, 2],
        "serial": "4F1E2D3C4B5B", "bcd_device": "0x2100"}]})");
    const std::string hub = "/sys/devices/pci0000:00/usb1/1-15/";
    const std::string device = hub + "1-15.2/";
    const struct {
        std::string file;
        std::string content;
    } rows[] = {
        {device + "idVendor", "0483"},
        {device + "idProduct", "df11"},
        {device + "bcdDevice", "2100"},
        {device + "bDeviceClass", "00"},
        {device + "bDeviceSubClass", "00"},
        {device + "bDeviceProtocol", "00"},
        {device + "bMaxPacketSize0", "64"},
        {device + "bNumConfigurations", "1"},
        {device + "version", " 1.00"},
        {device + "manufacturer", "STMicroelectronics"},
        {device + "product", "STM32  BOOTLOADER"},
        {device + "serial", "4F1E2D3C4B5B"},
        {device + "busnum", "1"},
        {device + "devnum", "3"},
        {device + "devpath", "15.2"},
        {device + "speed", "12"},
        {device + "maxchild", "0"},
        {device + "bConfigurationValue", "1"},
        {device + "bNumInterfaces", " 1"},
        {device + "bmAttributes", "c0"},
        {device + "bMaxPower", "100mA"},
        {hub + "bDeviceClass", "09"},
        {hub + "maxchild", "8"},
        {hub + "devnum", "2"},
        {hub + "devpath", "15"},
    };
    std::string script;
    for (const auto& row : rows) script += "printf '%s=' " + row.file + "; cat " + row.file + " || echo; ";
    const ServeRun served = serve(scenario, {"sh", "-c", script});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.err;
    const std::string out = served.commandOut();
    for (const auto& row : rows) {
        const std::string line = row.file + "=" + row.content + "\n";
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }
    // A device that names no serial number has no such attribute, as with the kernel.
    const auto anonymous = folder_.write("anonymous.json", R"({"devices": [{"name": "unit", "location": [3], "serial": null}]})");
    const ServeRun none = serve(anonymous, {"test", "!", "-e", "/sys/devices/pci0000:00/usb1/1-3/serial"});
    EXPECT_EQ(none.process.exitCode, 0);
}

// The model of the recorded F4 ROM (bootloader 21.00, its four layout strings) as lsusb shows it
// must be what lsusb showed of the ROM itself: descriptors, strings and device status.
TEST_F(ServedSysfs, LsusbShowsTheModelOfARecordedRomAsItShowedTheRom) {
    const auto scenario = folder_.write("f4.json", R"({"devices": [{"name": "f4", "location": [1], "bcd_device": "0x2100",
        "segments": ["@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", "@Option Bytes  /0x1FFFC000/01*016 g",
                     "@OTP Memory /0x1FFF7800/01*512 g,01*016 g", "@Device Feature/0xFFFF0000/01*004 g"]}]})");
    const ServeRun served = serve(scenario, {"lsusb", "-v", "-d", "0483:df11"});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.err;
    const std::vector<std::string> shown = comparable(served.commandOut());
    const std::vector<std::string> captured = comparable(
        ostdfu_test::fileContents(ostdfu_e2e::sourcePath("tests/serve/captures/f4-rom-dfu.lsusb")));
    ASSERT_FALSE(captured.empty());
    EXPECT_EQ(shown, captured);
}

}  // namespace
