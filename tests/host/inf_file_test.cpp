// Driver-package installation from INF text: what reaches the registry, in which types, and the
// line that every kind of broken package is reported at.
#include <gtest/gtest.h>

#include <string>

#include "host/machine.h"
#include "host/registry/inf_file.h"

namespace {

constexpr std::u16string_view kService =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\demo";
constexpr std::u16string_view kParameters =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\demo\\Parameters";

// A small package; each test adds to or replaces parts of it. Line numbers matter below.
std::string package(const std::string& parameters = "", const std::string& extra = "") {
    return "[Version]\n"                                           // 1
           "Signature = \"$WINDOWS NT$\"\n"                        // 2
           "Class = USBDevice\n"                                   // 3
           "ClassGuid = {88BAE032-5A81-49f0-BC3D-A4FF138216D6}\n"  // 4
           "Provider = %Maker%\n"                                  // 5
           "DriverVer = 01/02/2026,1.0.0.0\n"                      // 6
           "CatalogFile = demo.cat\n"                              // 7
           "[Manufacturer]\n"                                      // 8
           "%Maker% = Models, NTx86, NTamd64.10.0\n"               // 9
           "[Models.NTamd64.10.0]\n"                               // 10
           "\"Demo\" = Demo_Install, USB\\VID_1234&PID_0001\n"     // 11
           "[Demo_Install.NT]\n"                                   // 12
           "[Demo_Install.NT.Services]\n"                          // 13
           "AddService = demo, 0x2, Demo_Service, Demo_Log\n"      // 14
           "[Demo_Service]\n"                                      // 15
           "DisplayName = \"Demo driver\"\n"                       // 16
           "ServiceType = 1\n"                                     // 17
           "StartType = 3\n"                                       // 18
           "ErrorControl = 1\n"                                    // 19
           "ServiceBinary = %12%\\demo.sys\n"                      // 20
           "AddReg = Demo_Parameters\n"                            // 21
           "[Demo_Log]\n"                                          // 22
           "AddReg = Demo_Log_AddReg\n"                            // 23
           "[Demo_Log_AddReg]\n"                                   // 24
           "HKR,,TypesSupported,0x00010001,7\n"                    // 25
           "[Demo_Install.NT.Wdf]\n"                               // 26
           "KmdfService = demo, Demo_Wdf\n"                        // 27
           "[Demo_Wdf]\n"                                          // 28
           "KmdfLibraryVersion = 1.9\n"                            // 29
           "[Strings]\n"                                           // 30
           "Maker = \"Demo Maker\"\n"                              // 31
           "[Demo_Parameters]\n"                                   // 32
           + parameters + extra;
}

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

TEST(InfInstall, WritesTheServiceKeyItsParametersAndTheEventLogSource) {
    host::Machine machine;
    const host::InfInstallation result =
        host::installInf(machine.registry(), package("HKR,Parameters,Limit,0x00010001,75\n"),
                         "usb\\vid_1234&pid_0001");
    EXPECT_EQ(result.service, u"demo");
    EXPECT_EQ(result.serviceKey, kService);
    EXPECT_EQ(result.kmdfLibraryVersion, "1.9");

    host::Registry& registry = machine.registry();
    EXPECT_EQ(registry.value(kService, u"Type")->data, bytes({1, 0, 0, 0}));
    EXPECT_EQ(registry.value(kService, u"Start")->data, bytes({3, 0, 0, 0}));
    EXPECT_EQ(registry.value(kService, u"ErrorControl")->data, bytes({1, 0, 0, 0}));
    EXPECT_EQ(registry.value(kService, u"ImagePath")->type, static_cast<ULONG>(REG_EXPAND_SZ));
    EXPECT_EQ(registry.value(kService, u"ImagePath")->data,
              host::registryStringData(u"\\SystemRoot\\System32\\drivers\\demo.sys"));
    EXPECT_EQ(registry.value(kService, u"DisplayName")->data,
              host::registryStringData(u"Demo driver"));
    EXPECT_EQ(registry.value(kParameters, u"Limit")->data, bytes({75, 0, 0, 0}));
    EXPECT_TRUE(registry.value(
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\demo",
        u"TypesSupported"));
}

struct ValueCase {
    const char* entry;
    ULONG type;
    std::vector<std::uint8_t> data;
};

TEST(InfInstall, AddRegistryValueTypes) {
    const ValueCase cases[] = {
        {"HKR,Parameters,V,,\"text\"", REG_SZ, host::registryStringData(u"text")},
        {"HKR,Parameters,V,0x00020000,\"%%SystemRoot%%\\x\"", REG_EXPAND_SZ,
         host::registryStringData(u"%SystemRoot%\\x")},
        {"HKR,Parameters,V,0x00010000,\"a\",\"b\"", REG_MULTI_SZ,
         host::registryMultiStringData({u"a", u"b"})},
        {"HKR,Parameters,V,0x00010001,0x0BADF00D", REG_DWORD, bytes({0x0D, 0xF0, 0xAD, 0x0B})},
        {"HKR,Parameters,V,0x00000001,01,a5,FF", REG_BINARY, bytes({1, 0xA5, 0xFF})},
        {"HKR,Parameters,V,0x000B0001,1,0,0,0,0,0,0,0", REG_QWORD, bytes({1, 0, 0, 0, 0, 0, 0, 0})},
        {"HKR,Parameters,V,\\\n,\"continued\"", REG_SZ, host::registryStringData(u"continued")},
        {"HKR,Parameters,V,,\"a \"\"quoted\"\" word; not a comment\"", REG_SZ,
         host::registryStringData(u"a \"quoted\" word; not a comment")},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.entry);
        host::Machine machine;
        host::installInf(machine.registry(), package(std::string(c.entry) + "\n"),
                         "USB\\VID_1234&PID_0001");
        const auto value = machine.registry().value(kParameters, u"V");
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
    }
}

TEST(InfInstall, NoClobberKeepsAValueAnAdministratorChanged) {
    host::Machine machine;
    machine.registry().setDword(kParameters, u"Kept", 9);
    host::installInf(
        machine.registry(),
        package("HKR,Parameters,Kept,0x00010003,75\nHKR,Parameters,New,0x00010003,75\n"),
        "USB\\VID_1234&PID_0001");
    EXPECT_EQ(machine.registry().value(kParameters, u"Kept")->data, bytes({9, 0, 0, 0}));
    EXPECT_EQ(machine.registry().value(kParameters, u"New")->data, bytes({75, 0, 0, 0}));
}

struct BrokenCase {
    const char* what;
    std::string text;
    int line;
    const char* message;
};

TEST(InfInstall, ABrokenPackageNamesItsLineAndWritesNothing) {
    std::string noSignature = package();
    noSignature.replace(noSignature.find("Signature"), 9, "Signatur_");
    std::string otherArchitecture = package();
    otherArchitecture.replace(otherArchitecture.find("NTamd64.10.0\n"), 12, "NTarm64.10.0");
    const BrokenCase cases[] = {
        {"entry before any section", "Signature = x\n" + package(), 1, "before the first section"},
        {"unterminated quote", package("HKR,Parameters,V,,\"open\n"), 33, "closing quote"},
        {"unknown string", package("HKR,Parameters,V,,%Missing%\n"), 33, "%Missing%"},
        {"dword that is not a number", package("HKR,Parameters,V,0x00010001,seven\n"), 33,
         "32-bit number"},
        {"byte that is not hexadecimal", package("HKR,Parameters,V,1,0g\n"), 33,
         "hexadecimal byte"},
        {"unknown root", package("HKXX,Parameters,V,,1\n"), 33, "unknown registry root"},
        {"unapplied flag", package("HKR,Parameters,V,0x00000008,1\n"), 33, "flags"},
        {"section without ]", package("", "[Broken\n"), 33, "without ']'"},
        {"add-registry section missing", package("", "[Demo_Service]\nAddReg = Nowhere\n"), 34,
         "[Nowhere]"},
        {"no signature", noSignature, 1, "Signature"},
        {"no x64 model", otherArchitecture, 8, "no x64 model"},
    };
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(c.what);
        host::Machine machine;
        try {
            host::installInf(machine.registry(), c.text, "USB\\VID_1234&PID_0001", "demo.inf");
            ADD_FAILURE() << "installed";
        } catch (const host::InfError& e) {
            EXPECT_EQ(e.line(), c.line) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("demo.inf:" + std::to_string(c.line) + ": ", 0),
                      0u)
                << e.what();
        }
        EXPECT_FALSE(machine.registry().keyExists(kService));
    }
}

TEST(InfInstall, ADeviceNoModelNamesIsRefused) {
    host::Machine machine;
    EXPECT_THROW(host::installInf(machine.registry(), package(), "USB\\VID_1234&PID_0002"),
                 host::InfError);
}

}  // namespace
