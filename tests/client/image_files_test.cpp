// Image files and layout strings: what each format round-trips, and the faults a damaged or
// hostile file has, each named with its file and place.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <numeric>
#include <unistd.h>

#include "client/crc32.h"
#include "client/dfuse_file.h"
#include "client/intel_hex.h"
#include "client/memory_layout.h"
#include "client/raw_binary.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using client::FirmwareImage;
using client::ImageError;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

FirmwareImage twoElements() {
    FirmwareImage image;
    image.elements.push_back({0, 0x08000000, pattern(300, 1)});
    image.elements.push_back({0, 0x0801FFF8, pattern(40, 9)});  // crosses a 64 KiB boundary
    return image;
}

std::string errorOf(const std::function<void()>& parse) {
    try {
        parse();
    } catch (const ImageError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(ImageFiles, Crc32MatchesTheCheckValue) {
    const std::string text = "123456789";
    EXPECT_EQ(client::crc32({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}), 0xCBF43926u);
}

TEST(ImageFiles, DfuSeRoundTripsTargetsElementsAndProduct) {
    FirmwareImage image = twoElements();
    image.elements.push_back({2, 0x1FFF7800, pattern(16, 3)});
    image.product = client::ImageProduct{0x3A7C, 0x5029, 0x0100};
    const Bytes file = client::writeDfuSe(image);
    const FirmwareImage back = client::parseDfuSe(file, "a.dfu");
    ASSERT_EQ(back.elements.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back.elements[i].alternateSetting, image.elements[i].alternateSetting);
        EXPECT_EQ(back.elements[i].address, image.elements[i].address);
        EXPECT_EQ(back.elements[i].data, image.elements[i].data);
    }
    ASSERT_TRUE(back.product);
    EXPECT_EQ(back.product->idVendor, 0x3A7C);
    EXPECT_EQ(back.product->idProduct, 0x5029);
    // prefix 11 + two targets of 274 + elements (8 + data each) + suffix 16
    EXPECT_EQ(file.size(), 11u + 2 * 274 + (8 + 300) + (8 + 40) + (8 + 16) + 16);
}

TEST(ImageFiles, IntelHexRoundTripsAndJoinsContiguousRecords) {
    const FirmwareImage image = twoElements();
    const std::string text = client::writeIntelHex(image);
    EXPECT_NE(text.find(":020000040801"), std::string::npos) << "the upper half changes inside element 2";
    const FirmwareImage back = client::parseIntelHex(text, "a.hex");
    ASSERT_EQ(back.elements.size(), 2u);
    EXPECT_EQ(back.elements[0].address, 0x08000000u);
    EXPECT_EQ(back.elements[0].data, image.elements[0].data);
    EXPECT_EQ(back.elements[1].address, 0x0801FFF8u);
    EXPECT_EQ(back.elements[1].data, image.elements[1].data);
}

// Readers disagree where a data record that runs past its 64 KiB page puts its last bytes:
// some wrap the 16-bit offset inside the page, some carry on. A file we write must mean the same
// to all of them, so no record crosses, however the elements lie.
TEST(ImageFiles, IntelHexRecordsWeWriteStayInsideTheir64KiBPage) {
    const struct {
        std::uint32_t address;
        std::size_t length;
    } elements[] = {{0x0801FFF8, 40}, {0x0800FFFF, 2}, {0x08030000, 16}, {0x0803FFF1, 0x20020}, {0xFFFFFFF0, 16}};
    for (const auto& e : elements) {
        SCOPED_TRACE(testing::Message() << std::hex << e.address);
        FirmwareImage image;
        image.elements.push_back({0, e.address, pattern(e.length, 3)});
        const std::string text = client::writeIntelHex(image);
        std::size_t dataBytes = 0;
        for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
            const auto field = [&](std::size_t offset, std::size_t digits) {
                return std::stoul(text.substr(at + offset, digits), nullptr, 16);
            };
            if (field(7, 2) != 0) continue;
            EXPECT_LE(field(3, 4) + field(1, 2), 0x10000u) << text.substr(at, text.find('\n', at) - at);
            dataBytes += field(1, 2);
        }
        EXPECT_EQ(dataBytes, e.length);
        const FirmwareImage back = client::parseIntelHex(text, "a.hex");
        ASSERT_EQ(back.elements.size(), 1u);
        EXPECT_EQ(back.elements[0].address, e.address);
        EXPECT_EQ(back.elements[0].data, image.elements[0].data);
    }
}

// Files other tools made (fixtures/README.md says how): each is read into the bytes its maker
// was given, where it was told to put them.
TEST(ImageFiles, FilesMadeByOtherToolsReadAsTheirMakersWroteThem) {
    const std::filesystem::path fixtures = CLIENT_FIXTURES;
    Bytes given(40);
    for (std::size_t i = 0; i < given.size(); ++i) given[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (const char* name : {"srec_cat.hex", "objcopy.hex"}) {
        SCOPED_TRACE(name);
        const FirmwareImage image = client::loadImage(fixtures / name);
        ASSERT_EQ(image.elements.size(), 1u);
        EXPECT_EQ(image.elements[0].address, 0x0801FFF8u);
        EXPECT_EQ(image.elements[0].data, given);
    }
    const FirmwareImage packed = client::loadImage(fixtures / "dfuse-pack.dfu");
    ASSERT_EQ(packed.elements.size(), 2u);
    EXPECT_EQ(packed.elements[0].alternateSetting, 0);
    EXPECT_EQ(packed.elements[0].address, 0x08000000u);
    EXPECT_EQ(packed.elements[0].data, Bytes(given.begin(), given.begin() + 20));
    EXPECT_EQ(packed.elements[1].alternateSetting, 2);
    EXPECT_EQ(packed.elements[1].address, 0x1FFF7800u);
    Bytes otp(16);
    std::iota(otp.begin(), otp.end(), std::uint8_t{0xC0});
    EXPECT_EQ(packed.elements[1].data, otp);
    ASSERT_TRUE(packed.product);
    EXPECT_EQ(packed.product->idVendor, 0x3A7C);
    EXPECT_EQ(packed.product->idProduct, 0x5029);
}

TEST(ImageFiles, IntelHexExtendedSegmentAddressAndStartRecords) {
    // 02: base 0x1000 << 4; 03 and 05 carry start addresses and place nothing.
    const std::string text =
        ":020000021000EC\n"
        ":03001000010203E7\n"  // 3 bytes at 0x10010
        ":0400000300003800C1\n"
        ":04000005080001C12D\n"
        ":00000001FF\r\n";
    const FirmwareImage image = client::parseIntelHex(text, "s.hex");
    ASSERT_EQ(image.elements.size(), 1u);
    EXPECT_EQ(image.elements[0].address, 0x10010u);
    EXPECT_EQ(image.elements[0].data, (Bytes{1, 2, 3}));
}

TEST(ImageFiles, IntelHexFaultsNameTheLine) {
    const struct {
        const char* text;
        const char* expected;
    } rows[] = {
        {":0300000001020305\n:00000001FF\n", "f.hex: line 1: checksum mismatch"},
        {"\n:00000001FF\n:00000001FF\n", "f.hex: line 3: record after the end-of-file record"},
        {":03000000010203F7\n", "f.hex: line 1: no end-of-file record"},
        {"0300000001020307\n", "f.hex: line 1: a record must start with ':'"},
        {":0400000001020307\n", "f.hex: line 1: byte count 4 does not match the record's length"},
        {":03000000010G0307\n", "f.hex: line 1: not a hexadecimal digit"},
        {":00000007F9\n", "f.hex: line 1: unknown record type 7"},
        {":03000000010203F7\n:020001000102FA\n:00000001FF\n", "f.hex: line 2: data at 0x00000001 overlaps earlier data"},
        {":02000004FFFFFC\n:04FFFE0001020304F5\n:00000001FF\n", "f.hex: line 2: data runs past the 32-bit address space"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(errorOf([&] { client::parseIntelHex(row.text, "f.hex"); }), row.expected) << row.text;
    }
}

TEST(ImageFiles, DfuSeFaultsNameTheByteOffset) {
    const Bytes good = client::writeDfuSe(twoElements());
    const auto damaged = [&](std::size_t at, std::uint8_t value, bool fixCrc) {
        Bytes file = good;
        file[at] = value;
        if (fixCrc) {
            const std::uint32_t crc = client::dfuSuffixCrc({file.data(), file.size() - 4});
            for (int i = 0; i < 4; ++i) file[file.size() - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        }
        return file;
    };
    const std::size_t suffix = good.size() - 16;
    const std::size_t elementSize = 11 + 274 + 4;
    const struct {
        Bytes file;
        const char* expected;
    } rows[] = {
        {damaged(20, 0x55, false), "byte 0x"},  // any byte: the CRC catches it
        {damaged(0, 'X', true), "f.dfu: byte 0x0: no \"DfuSe\" prefix"},
        {damaged(5, 2, true), "f.dfu: byte 0x5: DfuSe version 2, expected 1"},
        {damaged(suffix + 8, 'X', false), "no DFU suffix"},
        {damaged(elementSize + 1, 0xFF, true), "element size runs past its target"},
        {damaged(10, 9, true), "runs past the end of the image"},
        {Bytes(good.begin(), good.begin() + 20), "too short"},
        {Bytes(good.begin() + 1, good.end()), "CRC-32 mismatch"},
        // The target's size (356 = 0x164, at 277) against its elements and the file, the CRC
        // made right each time.
        {damaged(elementSize - 12, 0x65, true), "f.dfu: byte 0x115: target size runs past the end of the image"},
        {damaged(elementSize - 9, 0x7F, true), "f.dfu: byte 0x115: target size runs past the end of the image"},
        {damaged(elementSize - 12, 0x63, true), "f.dfu: byte 0x255: element size runs past its target"},
        {damaged(6, 0x82, true), "f.dfu: byte 0x6: image size 642 "},
    };
    for (const auto& row : rows) {
        const std::string error = errorOf([&] { client::parseDfuSe(row.file, "f.dfu"); });
        EXPECT_NE(error.find(row.expected), std::string::npos) << error;
        EXPECT_EQ(error.rfind("f.dfu: ", 0), 0u) << error;
    }
    EXPECT_NE(errorOf([&] { client::parseDfuSe(damaged(20, 0x55, false), "f.dfu"); }).find("CRC-32 mismatch"),
              std::string::npos);
}

TEST(ImageFiles, FilesByExtensionAndTheAddressRule) {
    const auto dir = std::filesystem::temp_directory_path() / ("image_files_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    FirmwareImage one;
    one.elements.push_back({0, 0x08004000, pattern(100, 5)});
    for (const char* name : {"x.bin", "x.hex", "x.dfu", "x.HEX"}) {
        client::saveImage(dir / name, one);
        const bool binary = std::string(name) == "x.bin";
        const auto back = client::loadImage(dir / name, binary ? std::optional<std::uint32_t>(0x08004000) : std::nullopt);
        ASSERT_EQ(back.elements.size(), 1u) << name;
        EXPECT_EQ(back.elements[0].address, 0x08004000u) << name;
        EXPECT_EQ(back.elements[0].data, one.elements[0].data) << name;
    }
    EXPECT_NE(errorOf([&] { client::loadImage(dir / "x.bin"); }).find("needs the address"), std::string::npos);
    EXPECT_NE(errorOf([&] { client::loadImage(dir / "x.hex", 0x08000000); }).find("own addresses"), std::string::npos);
    EXPECT_NE(errorOf([&] { client::loadImage(dir / "x.elf"); }).find("unknown image format"), std::string::npos);
    EXPECT_NE(errorOf([&] { client::saveImage(dir / "y.bin", twoElements()); }).find("one run of bytes"),
              std::string::npos);
    std::filesystem::remove_all(dir);
}

TEST(MemoryLayout, SectorsAccessAndSeveralAddressFields) {
    const auto f4 = client::parseMemoryLayout("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg");
    ASSERT_TRUE(f4);
    EXPECT_EQ(f4->name, "Internal Flash");
    ASSERT_EQ(f4->sectors.size(), 12u);
    EXPECT_EQ(f4->sectors[4].address, 0x08010000u);
    EXPECT_EQ(f4->sectors[4].size, 64u * 1024);
    EXPECT_EQ(f4->sectors[11].end(), 0x08100000u);
    EXPECT_EQ(f4->sectors[0].access, 7);
    EXPECT_EQ(f4->sectorAt(0x0801FFFF)->address, 0x08010000u);
    EXPECT_EQ(f4->sectorAt(0x08100000), nullptr);
    EXPECT_EQ(f4->sectorAt(0x07FFFFFF), nullptr);

    const auto otp = client::parseMemoryLayout("@OTP Memory /0x1FFF7800/01*512 e,01*016 e");
    ASSERT_TRUE(otp);
    EXPECT_EQ(otp->sectors[1].address, 0x1FFF7A00u);
    EXPECT_EQ(otp->sectors[1].access, client::kSectorReadable | client::kSectorWritable);

    const auto split = client::parseMemoryLayout("@Flash/0x08000000/02*001Ka/0x08010000/01*002Mg");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->sectors[2].address, 0x08010000u);
    EXPECT_EQ(split->sectors[2].size, 2u << 20);

    for (const char* bad : {"", "Internal/0x08000000/04*016Kg", "@Flash", "@Flash/0x08000000/04*016Kh",
                            "@Flash/0x08000000/04*016Qg", "@Flash/0x08000000/00*016Kg", "@Flash/0xFFFFF000/02*004Kg",
                            "@Flash/0x08000000/99999*001Kg", "@A/0x10/01*016Kg/0x10/01*001Kg",
                            "@Flash/0X08000000/04*016Kg", "@Flash/0x08000000/01*016Kg/0X08010000/01*016Kg"}) {
        EXPECT_FALSE(client::parseMemoryLayout(bad)) << bad;
    }
}

}  // namespace
