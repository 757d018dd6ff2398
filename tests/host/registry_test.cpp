// The registry as the driver sees it (partial-information queries, handles, key names) and the
// .reg loader that configures it.
#include <gtest/gtest.h>

#include "host/machine.h"
#include "host/registry/reg_file.h"
#include "platform/registry.h"

namespace {

constexpr std::u16string_view kKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\x\\Parameters";

HANDLE open(std::u16string_view path, NTSTATUS expected = STATUS_SUCCESS) {
    std::u16string text(path);
    UNICODE_STRING name{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    EXPECT_EQ(ZwOpenKey(&handle, KEY_READ, &attributes), expected);
    return handle;
}

struct QueryCase {
    const char* what;
    std::vector<std::uint8_t> data;
    ULONG bufferBytes;
    NTSTATUS status;
    std::size_t dataBytesWritten;
};

TEST(ZwQueryValueKey, PartialInformationBufferRules) {
    const QueryCase cases[] = {
        {"fits exactly", {1, 2, 3, 4, 5, 6, 7, 8}, 20, STATUS_SUCCESS, 8},
        {"one byte too many", {1, 2, 3, 4, 5, 6, 7, 8, 9}, 20, STATUS_BUFFER_OVERFLOW, 8},
        {"header only", {1, 2, 3, 4}, 12, STATUS_BUFFER_OVERFLOW, 0},
        {"no room for the header", {1}, 11, STATUS_BUFFER_TOO_SMALL, 0},
        {"empty value", {}, 12, STATUS_SUCCESS, 0},
    };
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.what);
        host::Machine machine;
        machine.registry().setValue(kKey, u"V", REG_BINARY, c.data);
        HANDLE key = open(kKey);
        std::vector<std::uint8_t> buffer(32, 0xEE);
        UNICODE_STRING name{2, 2, const_cast<PWSTR>(u"v")};  // names ignore case
        ULONG result = 0;
        EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), c.bufferBytes, &result),
                  c.status);
        EXPECT_EQ(result, 12 + c.data.size());
        if (c.status != STATUS_BUFFER_TOO_SMALL) {
            auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
            EXPECT_EQ(info->Type, ULONG{REG_BINARY});
            EXPECT_EQ(info->DataLength, c.data.size());
            EXPECT_TRUE(std::equal(c.data.begin(), c.data.begin() + static_cast<long>(c.dataBytesWritten), buffer.begin() + 12));
        }
        // Nothing past the caller's buffer is touched.
        EXPECT_EQ(buffer[c.bufferBytes], 0xEE);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        EXPECT_EQ(machine.objects().openHandles(), 0u);
    }
}

TEST(ZwOpenKey, MissingKeysValuesAndHandles) {
    host::Machine machine;
    open(kKey, STATUS_OBJECT_NAME_NOT_FOUND);
    open(u"\\Device\\Nothing", STATUS_OBJECT_NAME_INVALID);
    machine.registry().createKey(kKey);
    HANDLE key = open(kKey);
    UNICODE_STRING name{2, 2, const_cast<PWSTR>(u"v")};
    std::uint8_t buffer[20];
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 20, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    machine.faults().failCall(host::FaultSite::RegistryOpen, 1, STATUS_ACCESS_DENIED);
    open(kKey, STATUS_ACCESS_DENIED);
}

TEST(KeyObjects, CarryTheirFullNameThroughTheControlSetAlias) {
    host::Machine machine;
    machine.registry().createKey(kKey);
    HANDLE key = open(u"\\registry\\machine\\system\\currentcontrolset\\services\\X\\PARAMETERS");
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(key, KEY_READ, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    ZwClose(key);  // the reference keeps the object
    ULONG needed = 0;
    EXPECT_EQ(ObQueryNameString(object, nullptr, 0, &needed), STATUS_INFO_LENGTH_MISMATCH);
    std::vector<std::uint8_t> buffer(needed);
    ASSERT_EQ(ObQueryNameString(object, reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data()), needed, &needed),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    EXPECT_EQ(std::u16string(info->Name.Buffer, info->Name.Length / 2),
              u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\x\\Parameters");
    EXPECT_EQ(info->Name.Buffer[info->Name.Length / 2], 0);
    ObfDereferenceObject(object);
    EXPECT_EQ(machine.objects().liveObjects(), 0u);
}

// ---- .reg files ------------------------------------------------------------------------------

TEST(RegFile, LoadsEveryValueKind) {
    host::Machine machine;
    host::loadRegText(machine.registry(), R"(Windows Registry Editor Version 5.00

; a comment
[HKEY_LOCAL_MACHINE\SOFTWARE\Test]
@="default"
"Text"="a \"quoted\" C:\\path"
"Dword"=dword:0000001f
"Bin"=hex:01,02,ff
"Qword"=hex(b):88,77,66,55,44,33,22,11
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Expand"=hex(2):25,00,00,00
"Long"=hex:00,01,02,\
  03,04
)");
    host::Registry& r = machine.registry();
    const std::u16string key = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Test";
    EXPECT_EQ(r.value(key, u"")->data, host::registryStringData(u"default"));
    EXPECT_EQ(r.value(key, u"Text")->data, host::registryStringData(u"a \"quoted\" C:\\path"));
    EXPECT_EQ(r.value(key, u"dword")->data, (std::vector<std::uint8_t>{0x1f, 0, 0, 0}));
    EXPECT_EQ(r.value(key, u"Dword")->type, ULONG{REG_DWORD});
    EXPECT_EQ(r.value(key, u"Bin")->data, (std::vector<std::uint8_t>{1, 2, 0xff}));
    EXPECT_EQ(r.value(key, u"Qword")->type, ULONG{REG_QWORD});
    EXPECT_EQ(r.value(key, u"Multi")->data, host::registryMultiStringData({u"a", u"b"}));
    EXPECT_EQ(r.value(key, u"Multi")->type, ULONG{REG_MULTI_SZ});
    EXPECT_EQ(r.value(key, u"Expand")->type, ULONG{REG_EXPAND_SZ});
    EXPECT_EQ(r.value(key, u"Long")->data, (std::vector<std::uint8_t>{0, 1, 2, 3, 4}));
}

TEST(RegFile, DeletesKeysAndValues) {
    host::Machine machine;
    host::Registry& r = machine.registry();
    r.setDword(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B", u"x", 1);
    r.setDword(u"\\REGISTRY\\MACHINE\\SOFTWARE\\C", u"y", 1);
    r.setDword(u"\\REGISTRY\\MACHINE\\SOFTWARE\\C", u"z", 1);
    host::loadRegText(r, "Windows Registry Editor Version 5.00\r\n\r\n[-HKLM\\SOFTWARE\\A]\r\n"
                         "[HKLM\\SOFTWARE\\C]\r\n\"y\"=-\r\n");
    EXPECT_FALSE(r.keyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A"));
    EXPECT_FALSE(r.keyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B"));
    EXPECT_FALSE(r.value(u"\\REGISTRY\\MACHINE\\SOFTWARE\\C", u"y").has_value());
    EXPECT_TRUE(r.value(u"\\REGISTRY\\MACHINE\\SOFTWARE\\C", u"z").has_value());
}

TEST(RegFile, ReadsUtf16WithByteOrderMark) {
    host::Machine machine;
    const std::u16string text = u"\uFEFFWindows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\U]\r\n\"n\"=dword:2\r\n";
    std::string bytes;
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    host::loadRegText(machine.registry(), bytes);
    EXPECT_EQ(machine.registry().value(u"\\REGISTRY\\MACHINE\\SOFTWARE\\U", u"n")->data[0], 2);
}

struct BadFile {
    const char* text;
    int line;
    const char* message;
};

TEST(RegFile, ErrorsNameTheLineAndChangeNothing) {
    const BadFile cases[] = {
        {"REGEDIT4\n", 1, "header"},
        {"Windows Registry Editor Version 5.00\n\"a\"=dword:1\n", 2, "outside a key"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X]\n\"a\"=dword:123456789\n", 3, "dword"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X]\n\"a\"=hex:1g\n", 3, "hex digit"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X]\n\"a\"=hex(b):01,02\n", 3, "8 bytes"},
        {"Windows Registry Editor Version 5.00\n[HKCU\\Software]\n", 2, "root"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X\n", 2, "closing"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X]\n\"a=\"b\"\n", 3, ""},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X]\n\"a\"=word:1\n", 3, "unknown value"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X]\n\"a\"=hex:01,\\\n", 3, "hex data"},
        // The registry itself would refuse the path with an exception of its own, not the file's.
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X\\\\Y]\n", 2, "empty key name"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\X]\n[-HKLM\\SOFTWARE\\\\X]\n", 3, "empty key name"},
    };
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.text);
        host::Machine machine;
        try {
            host::loadRegText(machine.registry(), c.text, "test.reg");
            ADD_FAILURE() << "no error";
        } catch (const host::RegFileError& e) {
            EXPECT_EQ(e.line(), c.line);
            EXPECT_NE(std::string(e.what()).find("test.reg:" + std::to_string(c.line) + ": "), std::string::npos);
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        EXPECT_FALSE(machine.registry().keyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\X"));
    }
}

}  // namespace
