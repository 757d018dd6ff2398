// The updater's library: finds the driver's device interfaces, opens handles on them and sends
// the control codes, one typed call per code. Every call returns the status and the
// information length as the driver completed the request, and the reply record decoded from
// the bytes that came back (zero where fewer came back than the record holds). Statuses are
// values: a failed request is a result, not an exception.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/io/user_mode.h"
#include "updater_interface/device_caps.h"
#include "updater_interface/interface_guids.h"
#include "updater_interface/ioctl.h"
#include "updater_interface/manufacturer_serial.h"

namespace client {

struct InterfaceEntry {
    std::u16string symbolicLink;
    std::u16string deviceInstanceId;  // USB\VID_0483&PID_DF11\<instance id>
};

// The interfaces of a class that are there now, in the order the devices registered them.
std::vector<InterfaceEntry> listInterfaces(const GUID& classGuid = GUID_DEVINTERFACE_OSTDFU_DRIVER);

// An open handle on a device; closed when it goes.
class Handle {
public:
    Handle() = default;
    explicit Handle(host::UserHandle raw) : raw_(raw) {}
    Handle(Handle&& other) noexcept : raw_(other.release()) {}
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle();

    bool valid() const { return raw_.valid(); }
    host::UserHandle raw() const { return raw_; }
    // Closes now and says how that went; STATUS_INVALID_HANDLE when there is nothing open.
    NTSTATUS close();

private:
    host::UserHandle release() {
        const host::UserHandle raw = raw_;
        raw_ = {};
        return raw;
    }
    host::UserHandle raw_;
};

struct OpenResult {
    NTSTATUS status = STATUS_SUCCESS;
    Handle handle;
};
// The index-th interface of the class; STATUS_NO_MORE_ENTRIES when there are fewer.
OpenResult open(const GUID& classGuid = GUID_DEVINTERFACE_OSTDFU_DRIVER, unsigned index = 0);
OpenResult openLink(std::u16string_view symbolicLink);

struct Result {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};
template <class T>
struct Reply : Result {
    T record{};
};
// The bytes that came back: as many as the information length says, at most the output length.
struct BytesReply : Result {
    std::vector<std::uint8_t> bytes;
};

// ---- raw calls ---------------------------------------------------------------------------------
BytesReply Ioctl(const Handle& handle, ULONG ioControlCode, std::span<const std::uint8_t> input,
                 std::size_t outputLength);
// With the output buffer's initial contents: what an in-direct code sends to the device.
BytesReply IoctlWithOutputBuffer(const Handle& handle, ULONG ioControlCode,
                                 std::span<const std::uint8_t> input,
                                 std::vector<std::uint8_t> output);

// ---- one call per control code -----------------------------------------------------------------
Reply<InterfaceVersionInfo> GetInterfaceVersion(const Handle& handle);
// Host-to-device transfer whose data stage is data (none when empty).
Result ControlRequestOut(const Handle& handle, const ControlRequestRecord& request,
                         std::span<const std::uint8_t> data);
// Device-to-host transfer of at most length bytes.
BytesReply ControlRequestIn(const Handle& handle, const ControlRequestRecord& request,
                            std::size_t length);
// The request record and the reply share one buffer of max(12, outputLength) bytes.
BytesReply GetUsbDescriptor(const Handle& handle, ULONG selector, UCHAR stringIndex,
                            std::size_t outputLength);
Result BeginDfu(const Handle& handle, UCHAR alternateSetting);
Reply<DeviceHandleInfo> GetDeviceHandleInfo(const Handle& handle);
Reply<DeviceIdentityInfo> GetIdentity(const Handle& handle);
Reply<ULONG> GetInstanceStringSize(const Handle& handle);
// The text up to its terminator; outputLength as GetInstanceStringSize reported it.
Reply<std::u16string> GetInstanceString(const Handle& handle, std::size_t outputLength);
Reply<DEVICE_CAPS2> GetDeviceCaps(const Handle& handle);
Reply<std::array<std::u16string, 4>> GetSegmentStrings(const Handle& handle);
// A name that does not fit the 128-character field is refused here with
// STATUS_INVALID_PARAMETER, before anything is sent.
Reply<ULONG> ReadParameter(const Handle& handle, std::u16string_view valueName,
                           ULONG kind = PARAMETER_KIND_DWORD);
Result CyclePort(const Handle& handle);
Result ResetPort(const Handle& handle);
// Without a time-out the request carries no input, and the driver detaches with 0.
Result Detach(const Handle& handle, std::optional<USHORT> timeoutMs = std::nullopt);
Result Leave(const Handle& handle);
Result EraseEepromSection(const Handle& handle, LONG section);
Result SetIdle(const Handle& handle);
Reply<ULONG> GetBusyWaitLimit(const Handle& handle);
// Without a delay the request carries the iteration count alone (the driver then waits 2 ms).
Result PollDevice(const Handle& handle, ULONG iterations, std::optional<ULONG> delayMs = std::nullopt);
Result SetFirmwareVersion(const Handle& handle, ULONG version);
Reply<ULONG> GetReadProtectState(const Handle& handle);
Result ReadUnprotect(const Handle& handle);
BytesReply ReadOptionBytes(const Handle& handle, std::size_t length);
Result WriteOptionBytes(const Handle& handle, std::span<const std::uint8_t> optionBytes);
Reply<ULONG> GetOptionByteWritesAllowed(const Handle& handle);
Result SetOptionByteWritesAllowed(const Handle& handle, ULONG allowed);
Reply<ManufacturerSerialBlock> GetManufacturerSerial(const Handle& handle);
inline constexpr std::size_t APP_ID_RECORD_BYTES = 40;
Reply<std::array<std::uint8_t, APP_ID_RECORD_BYTES>> GetAppIdRecord(const Handle& handle);
Result MassErase(const Handle& handle);
Result SequentialPing(const Handle& handle);

}  // namespace client
