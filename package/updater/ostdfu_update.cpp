// ostdfu-update: a small Windows console updater on the driver's control interface, and the
// example of how a Windows program uses updater_interface/. It finds the driver's device
// interfaces, opens one and sends the private I/O controls.
//
//   ostdfu-update list
//   ostdfu-update N version | handle | identity | caps | serial | mass-erase
//   ostdfu-update N param NAME | poll COUNT [MS] | begin-dfu ALT | descriptor SELECTOR [INDEX]
//   ostdfu-update N control-in|control-out vendor|class RECIPIENT REQUEST VALUE INDEX LENGTH
//   ostdfu-update N ioctl IOCTL_NAME [HEXBYTES] [OUTPUT_LENGTH]
//
// N is the device's number in `list`. Numbers may be decimal or 0x-hexadecimal.
// <windows.h> first: the other system headers build on it.
#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "updater_interface/device_caps.h"
#include "updater_interface/interface_guids.h"
#include "updater_interface/ioctl.h"
#include "updater_interface/manufacturer_serial.h"

// The codes are the driver's contract: a change to any of them breaks every updater in the field.
static_assert(IOCTL_DFU_GET_INTERFACE_VERSION == 0x80882004);
static_assert(IOCTL_DFU_CONTROL_REQUEST_OUT == 0x80882081);
static_assert(IOCTL_DFU_CONTROL_REQUEST_IN == 0x80882086);
static_assert(IOCTL_DFU_GET_USB_DESCRIPTOR == 0x80882088);
static_assert(IOCTL_DFU_BEGIN_DFU == 0x8088208C);
static_assert(IOCTL_DFU_GET_DEVICE_HANDLE_INFO == 0x808820C0);
static_assert(IOCTL_DFU_GET_IDENTITY == 0x808820C4);
static_assert(IOCTL_DFU_GET_INSTANCE_STRING_SIZE == 0x80882454);
static_assert(IOCTL_DFU_GET_INSTANCE_STRING == 0x80882458);
static_assert(IOCTL_DFU_GET_DEVICE_CAPS == 0x80882464);
static_assert(IOCTL_DFU_GET_SEGMENT_STRINGS == 0x808824F0);
static_assert(IOCTL_DFU_READ_PARAMETER == 0x808824F4);
static_assert(IOCTL_DFU_CYCLE_PORT == 0x808824F8);
static_assert(IOCTL_DFU_RESET_PORT == 0x808824FC);
static_assert(IOCTL_DFU_DETACH == 0x80882500);
static_assert(IOCTL_DFU_LEAVE == 0x80882504);
static_assert(IOCTL_DFU_ERASE_EEPROM_SECTION == 0x80882514);
static_assert(IOCTL_DFU_SET_IDLE == 0x80882518);
static_assert(IOCTL_DFU_GET_BUSY_WAIT_LIMIT == 0x8088251C);
static_assert(IOCTL_DFU_POLL_DEVICE == 0x80882520);
static_assert(IOCTL_DFU_SET_FIRMWARE_VERSION == 0x8088252C);
static_assert(IOCTL_DFU_GET_READ_PROTECT_STATE == 0x80882530);
static_assert(IOCTL_DFU_READ_UNPROTECT == 0x80882534);
static_assert(IOCTL_DFU_READ_OPTION_BYTES == 0x80882538);
static_assert(IOCTL_DFU_WRITE_OPTION_BYTES == 0x8088253C);
static_assert(IOCTL_DFU_GET_OPTION_BYTE_WRITES_ALLOWED == 0x80882540);
static_assert(IOCTL_DFU_SET_OPTION_BYTE_WRITES_ALLOWED == 0x80882544);
static_assert(IOCTL_DFU_GET_MANUFACTURER_SERIAL == 0x80882548);
static_assert(IOCTL_DFU_GET_APP_ID_RECORD == 0x8088254C);
static_assert(IOCTL_DFU_MASS_ERASE == 0x80882568);
static_assert(IOCTL_DFU_SEQUENTIAL_PING == 0x80882808);
static_assert(sizeof(IOCTL_NAMES) / sizeof(IOCTL_NAMES[0]) == 31);

// The records as a Windows compiler lays them out, with the system's WCHAR and GUID.
static_assert(sizeof(InterfaceVersionInfo) == 24);
static_assert(sizeof(DeviceHandleInfo) == 16);
static_assert(sizeof(DeviceIdentityInfo) == 1040);
static_assert(offsetof(DeviceIdentityInfo, Flags) == 780);
static_assert(sizeof(ParameterQuery) == 260);
static_assert(sizeof(PollRequest) == 8);
static_assert(sizeof(ControlRequestRecord) == 24);
static_assert(sizeof(DescriptorRequestRecord) == 12);
static_assert(sizeof(ManufacturerSerialBlock) == 144);
static_assert(sizeof(DEVICE_CAPS2) == 3592);
static_assert(offsetof(DEVICE_CAPS2, ReportedInterfaceGuid) == 1708);
static_assert(offsetof(DEVICE_CAPS2, FirmwareVersion) == 3152);
static_assert(sizeof(WCHAR) == 2 && sizeof(GUID) == 16);

namespace {

unsigned long Number(const char* text) {
    return std::strtoul(text, nullptr, 0);
}

std::vector<std::wstring> DriverInterfacePaths() {
    std::vector<std::wstring> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_OSTDFU_DRIVER, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_OSTDFU_DRIVER, i, &data);
         ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        std::vector<BYTE> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (size != 0 &&
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) {
            paths.emplace_back(detail->DevicePath);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

// Sends one control code; reports a failure with the system's error number.
bool Control(HANDLE device, ULONG code, const void* input, DWORD inputLength, void* output,
             DWORD outputLength, DWORD* returned) {
    if (DeviceIoControl(device, code, const_cast<void*>(input), inputLength, output, outputLength,
                        returned, nullptr)) {
        return true;
    }
    std::fprintf(stderr, "I/O control 0x%08lX failed: error %lu\n", code, GetLastError());
    return false;
}

void PrintBytes(const BYTE* bytes, DWORD length) {
    for (DWORD i = 0; i < length; ++i) {
        std::printf("%02X%s", bytes[i], (i % 16 == 15 || i + 1 == length) ? "\n" : " ");
    }
}

int ShowIdentity(HANDLE device) {
    DeviceIdentityInfo identity{};
    DWORD returned = 0;
    if (!Control(device, IOCTL_DFU_GET_IDENTITY, nullptr, 0, &identity, sizeof(identity),
                 &returned)) {
        return 1;
    }
    std::printf("application %04lX:%04lX variant %lu, flags 0x%lX\n", identity.AppVid,
                identity.AppPid, identity.AppVariant, identity.Flags);
    std::wprintf(L"serial \"%ls\", manufacturer \"%ls\", product \"%ls\"\n",
                 identity.SerialNumberString, identity.ManufacturerString, identity.ProductString);
    return 0;
}

int ShowCaps(HANDLE device) {
    DEVICE_CAPS2 caps{};
    DWORD returned = 0;
    if (!Control(device, IOCTL_DFU_GET_DEVICE_CAPS, nullptr, 0, &caps, sizeof(caps), &returned)) {
        return 1;
    }
    std::printf("product type %lu, firmware version 0x%08lX, product key 0x%08lX\n",
                caps.CapsProductType, caps.FirmwareVersion, caps.ProductKey);
    std::printf("segments 0x%08lX 0x%08lX 0x%08lX 0x%08lX\n", caps.Segment1Base, caps.Segment2Base,
                caps.Segment3Base, caps.Segment4Base);
    std::wprintf(L"instance %ls\n", caps.InstanceName);
    return 0;
}

int ControlTransfer(HANDLE device, bool in, int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "needs vendor|class RECIPIENT REQUEST VALUE INDEX LENGTH\n");
        return 2;
    }
    ControlRequestRecord record{};
    record.IsClassRequest = std::strcmp(argv[0], "class") == 0 ? 1 : 0;
    record.Recipient = Number(argv[1]);
    record.Request = static_cast<UCHAR>(Number(argv[2]));
    record.Value = static_cast<USHORT>(Number(argv[3]));
    record.Index = static_cast<USHORT>(Number(argv[4]));
    std::vector<BYTE> data(Number(argv[5]));
    DWORD returned = 0;
    // The data stage travels in the output buffer for both directions (direct I/O).
    if (!Control(device, in ? IOCTL_DFU_CONTROL_REQUEST_IN : IOCTL_DFU_CONTROL_REQUEST_OUT, &record,
                 sizeof(record), data.data(), static_cast<DWORD>(data.size()), &returned)) {
        return 1;
    }
    PrintBytes(data.data(), returned);
    return 0;
}

int RawIoctl(HANDLE device, int argc, char** argv) {
    if (argc < 1) {
        std::fprintf(stderr, "needs IOCTL_NAME [HEXBYTES] [OUTPUT_LENGTH]\n");
        return 2;
    }
    const IoctlName* found = nullptr;
    for (const IoctlName& entry : IOCTL_NAMES) {
        if (std::strcmp(entry.name, argv[0]) == 0) {
            found = &entry;
        }
    }
    if (found == nullptr) {
        std::fprintf(stderr, "unknown I/O control %s\n", argv[0]);
        return 2;
    }
    std::vector<BYTE> input;
    for (const char* hex = argc > 1 ? argv[1] : ""; hex[0] != 0 && hex[1] != 0; hex += 2) {
        const char pair[3] = {hex[0], hex[1], 0};
        input.push_back(static_cast<BYTE>(std::strtoul(pair, nullptr, 16)));
    }
    std::vector<BYTE> output(argc > 2 ? Number(argv[2]) : 0);
    DWORD returned = 0;
    if (!Control(device, found->code, input.data(), static_cast<DWORD>(input.size()), output.data(),
                 static_cast<DWORD>(output.size()), &returned)) {
        return 1;
    }
    PrintBytes(output.data(), returned);
    return 0;
}

int Run(HANDLE device, const char* command, int argc, char** argv) {
    DWORD returned = 0;
    if (std::strcmp(command, "version") == 0) {
        InterfaceVersionInfo version{};
        if (!Control(device, IOCTL_DFU_GET_INTERFACE_VERSION, nullptr, 0, &version, sizeof(version),
                     &returned)) {
            return 1;
        }
        std::printf("interface %lu.%lu (compatible %lu.%lu), revision %llu\n", version.Major,
                    version.Minor, version.CompatibleMajor, version.CompatibleMinor,
                    static_cast<unsigned long long>(version.Revision));
        return 0;
    }
    if (std::strcmp(command, "handle") == 0) {
        DeviceHandleInfo info{};
        if (!Control(device, IOCTL_DFU_GET_DEVICE_HANDLE_INFO, nullptr, 0, &info, sizeof(info),
                     &returned)) {
            return 1;
        }
        std::printf("instance 0x%016llX, DFU interface %u\n",
                    static_cast<unsigned long long>(info.DeviceInstance), info.InterfaceNumber);
        return 0;
    }
    if (std::strcmp(command, "identity") == 0)
        return ShowIdentity(device);
    if (std::strcmp(command, "caps") == 0)
        return ShowCaps(device);
    if (std::strcmp(command, "serial") == 0) {
        ManufacturerSerialBlock serial{};
        if (!Control(device, IOCTL_DFU_GET_MANUFACTURER_SERIAL, nullptr, 0, &serial, sizeof(serial),
                     &returned)) {
            return 1;
        }
        std::printf("manufacturer serial %016llX (%lu bytes, from record %lu)\n",
                    static_cast<unsigned long long>(serial.Value), serial.Length,
                    serial.FromRecord);
        return 0;
    }
    if (std::strcmp(command, "mass-erase") == 0) {
        return Control(device, IOCTL_DFU_MASS_ERASE, nullptr, 0, nullptr, 0, &returned) ? 0 : 1;
    }
    if (std::strcmp(command, "param") == 0 && argc >= 1) {
        ParameterQuery query{};
        MultiByteToWideChar(CP_UTF8, 0, argv[0], -1, query.Name, PARAMETER_NAME_CHARS - 1);
        query.Kind = PARAMETER_KIND_DWORD;
        // The reply is written over the start of the same buffer.
        if (!Control(device, IOCTL_DFU_READ_PARAMETER, &query, sizeof(query), &query, sizeof(query),
                     &returned)) {
            return 1;
        }
        ULONG value = 0;
        std::memcpy(&value, &query, sizeof(value));
        std::printf("%s = 0x%08lX\n", argv[0], value);
        return 0;
    }
    if (std::strcmp(command, "poll") == 0 && argc >= 1) {
        PollRequest poll{static_cast<ULONG>(Number(argv[0])),
                         argc > 1 ? static_cast<ULONG>(Number(argv[1])) : POLL_DEFAULT_DELAY_MS};
        return Control(device, IOCTL_DFU_POLL_DEVICE, &poll, sizeof(poll), nullptr, 0, &returned)
                   ? 0
                   : 1;
    }
    if (std::strcmp(command, "begin-dfu") == 0 && argc >= 1) {
        BYTE input[BEGIN_DFU_INPUT_BYTES] = {static_cast<BYTE>(Number(argv[0]))};
        return Control(device, IOCTL_DFU_BEGIN_DFU, input, sizeof(input), nullptr, 0, &returned)
                   ? 0
                   : 1;
    }
    if (std::strcmp(command, "descriptor") == 0 && argc >= 1) {
        // The reply overwrites the request record in the one buffer.
        std::vector<BYTE> buffer(4096);
        DescriptorRequestRecord request{};
        request.Selector = Number(argv[0]);
        request.StringIndex = static_cast<UCHAR>(argc > 1 ? Number(argv[1]) : 0);
        std::memcpy(buffer.data(), &request, sizeof(request));
        if (!Control(device, IOCTL_DFU_GET_USB_DESCRIPTOR, buffer.data(), sizeof(request),
                     buffer.data(), static_cast<DWORD>(buffer.size()), &returned)) {
            return 1;
        }
        PrintBytes(buffer.data(), returned);
        return 0;
    }
    if (std::strcmp(command, "control-in") == 0)
        return ControlTransfer(device, true, argc, argv);
    if (std::strcmp(command, "control-out") == 0)
        return ControlTransfer(device, false, argc, argv);
    if (std::strcmp(command, "ioctl") == 0)
        return RawIoctl(device, argc, argv);
    std::fprintf(stderr, "unknown command or missing argument: %s\n", command);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::wstring> paths = DriverInterfacePaths();
    if (argc >= 2 && std::strcmp(argv[1], "list") == 0) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            std::wprintf(L"%zu %ls\n", i, paths[i].c_str());
        }
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: ostdfu-update list | N COMMAND [ARGUMENTS]\n");
        return 2;
    }
    const unsigned long index = Number(argv[1]);
    if (index >= paths.size()) {
        std::fprintf(stderr, "no device %lu (%zu found)\n", index, paths.size());
        return 2;
    }
    HANDLE device =
        CreateFileW(paths[index].c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open device %lu: error %lu\n", index, GetLastError());
        return 1;
    }
    const int result = Run(device, argv[2], argc - 3, argv + 3);
    CloseHandle(device);
    return result;
}
