// `dfuhost --driver FILE` as a user runs it: the shipped image answers as the built-in driver
// does, and an image that cannot be loaded is refused with its reason and exit code 2 before
// anything runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/e2e/dfuhost_process.h"
#include "tests/image/image_test_support.h"

namespace {

using image_test::get;
using image_test::Layout;
using image_test::put;
using Bytes = std::vector<std::uint8_t>;

class DriverOption : public testing::Test {
protected:
    void SetUp() override {
        if (std::string(OSTDFU_DRIVER_IMAGE).empty()) {
            GTEST_SKIP() << OSTDFU_DRIVER_IMAGE_SKIPPED;
        }
        std::ifstream in(OSTDFU_DRIVER_IMAGE, std::ios::binary);
        image = {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        ASSERT_FALSE(image.empty());
    }

    Bytes image;
};

TEST_F(DriverOption, TheImageListsTheDemoBusAsTheBuiltInDriverDoes) {
    const ostdfu_e2e::ProcessResult builtIn = ostdfu_e2e::runDfuhost({"list"});
    const ostdfu_e2e::ProcessResult loaded = ostdfu_e2e::runDfuhost({"--driver", OSTDFU_DRIVER_IMAGE, "list"});
    ASSERT_EQ(builtIn.exitCode, 0) << builtIn.err;
    ASSERT_EQ(loaded.exitCode, 0) << loaded.err;
    EXPECT_EQ(loaded.out, builtIn.out);
    EXPECT_NE(loaded.out.find("strada-base"), std::string::npos);
}

TEST_F(DriverOption, JsonResultsNameTheDriverThatAnswered) {
    const ostdfu_e2e::ProcessResult builtIn = ostdfu_e2e::runDfuhost({"--json", "info", "blank"});
    ASSERT_EQ(builtIn.exitCode, 0) << builtIn.err;
    EXPECT_EQ(builtIn.json().at("driver"), "built-in");
    const ostdfu_e2e::ProcessResult loaded =
        ostdfu_e2e::runDfuhost({"--driver", OSTDFU_DRIVER_IMAGE, "--json", "list"});
    ASSERT_EQ(loaded.exitCode, 0) << loaded.err;
    for (const nlohmann::json& device : loaded.json()) {
        EXPECT_EQ(device.at("driver"), OSTDFU_DRIVER_IMAGE);
    }
}

// serve runs no driver itself; a dfuhost its command runs takes the one serve was given.
TEST_F(DriverOption, ServeHandsTheImageToTheDfuhostItRuns) {
    const ostdfu_e2e::ProcessResult served = ostdfu_e2e::runDfuhost(
        {"serve", "--driver", OSTDFU_DRIVER_IMAGE, "--", DFUHOST_PATH, "--usb", "--json", "list"});
    if (served.exitCode == 2 && served.err.find("umockdev") != std::string::npos) {
        GTEST_SKIP() << served.err;
    }
    ASSERT_EQ(served.exitCode, 0) << served.err;
    const nlohmann::json devices = nlohmann::json::parse(served.out.substr(0, served.out.rfind("]") + 1));
    ASSERT_FALSE(devices.empty());
    for (const nlohmann::json& device : devices) {
        EXPECT_EQ(device.at("driver"), std::filesystem::absolute(OSTDFU_DRIVER_IMAGE).string());
    }
}

// As objcopy --remove-section .reloc leaves it: nothing says where the image holds its own
// addresses, so it can only run where it was linked to, and there it answers as it should.
TEST_F(DriverOption, AnImageWithoutBaseRelocationsRunsAtItsPreferredBase) {
    Bytes bytes = image;
    const Layout l(bytes);
    put(bytes, l.directory(5), 4, 0);
    put(bytes, l.directory(5) + 4, 4, 0);
    ostdfu_e2e::TemporaryFolder folder;
    const auto file = folder.write("unrelocatable.sys", std::string(bytes.begin(), bytes.end()));
    const ostdfu_e2e::ProcessResult builtIn = ostdfu_e2e::runDfuhost({"list"});
    const ostdfu_e2e::ProcessResult loaded =
        ostdfu_e2e::runDfuhost({"--driver", file.string(), "list"});
    ASSERT_EQ(loaded.exitCode, 0) << loaded.err;
    EXPECT_EQ(loaded.out, builtIn.out);
}

TEST_F(DriverOption, AnImageThatCannotBeLoadedIsRefusedWithItsReason) {
    struct Damage {
        const char* name;
        std::function<void(Bytes&)> apply;
        const char* reason;
    };
    const Damage damages[] = {
        {"truncated", [](Bytes& b) { b.resize(b.size() / 2); }, "runs past the end of the file"},
        {"a bad relocation",
         [](Bytes& b) {
             const Layout l(b);
             const auto directory = static_cast<std::uint32_t>(get(b, l.directory(5), 4));
             const std::size_t entry = l.fileOffsetOf(b, directory + 8);
             put(b, entry, 2, (get(b, entry, 2) & 0xFFF) | 0x3000);
         },
         "is of kind 3 (HIGHLOW)"},
        {"an unknown import",
         [](Bytes& b) {
             const std::string name = "KeSetEvent";
             const auto at = std::search(b.begin(), b.end(), name.begin(), name.end());
             ASSERT_NE(at, b.end());
             *(at + name.size() - 1) = 'X';
         },
         "imports ntoskrnl.exe!KeSetEvenX, which this machine does not provide"},
    };
    ostdfu_e2e::TemporaryFolder folder;
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        Bytes bytes = image;
        d.apply(bytes);
        const auto file = folder.write("damaged.sys", std::string(bytes.begin(), bytes.end()));
        const ostdfu_e2e::ProcessResult run = ostdfu_e2e::runDfuhost({"--driver", file.string(), "list"});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.err.find("damaged.sys: "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(d.reason), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
