// One call per control code: the input each code carries, the output length it needs, and the
// decoding of its reply.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "client/updater.h"

namespace client {

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ulongBytes(ULONG value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

template <class T>
Bytes recordBytes(const T& record) {
    static_assert(std::is_trivially_copyable_v<T>);
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &record, sizeof(T));
    return bytes;
}

// The records are little-endian with asserted layouts, as this host is, so the record itself is
// the output buffer: the reply lands in it with no copy of ours. What lies past the information
// length is zero, as in a byte reply, whatever a direct-method driver wrote there.
template <class T>
Reply<T> receive(const Handle& handle, ULONG code, std::span<const std::uint8_t> input = {}) {
    static_assert(std::is_trivially_copyable_v<T>);
    Reply<T> reply;
    auto* bytes = reinterpret_cast<std::uint8_t*>(&reply.record);
    const host::IoctlResult result =
        host::user::deviceIoControl(handle.raw(), code, input, {bytes, sizeof(T)});
    reply.status = result.status;
    reply.information = result.information;
    const std::size_t kept = std::min<std::size_t>(result.information, sizeof(T));
    std::memset(bytes + kept, 0, sizeof(T) - kept);
    return reply;
}

Result resultOf(const BytesReply& reply) { return {reply.status, reply.information}; }

// UTF-16 text up to its terminator within the bytes.
std::u16string textOf(const std::uint8_t* data, std::size_t bytes) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

BytesReply send(const Handle& handle, ULONG code, const Bytes& input, std::size_t outputLength) {
    return Ioctl(handle, code, input, outputLength);
}

}  // namespace

BytesReply Ioctl(const Handle& handle, ULONG ioControlCode, std::span<const std::uint8_t> input,
                 std::size_t outputLength) {
    return IoctlWithOutputBuffer(handle, ioControlCode, input, Bytes(outputLength));
}

BytesReply IoctlWithOutputBuffer(const Handle& handle, ULONG ioControlCode,
                                 std::span<const std::uint8_t> input, Bytes output) {
    const host::IoctlResult result =
        host::user::deviceIoControl(handle.raw(), ioControlCode, input, output);
    BytesReply reply;
    reply.status = result.status;
    reply.information = result.information;
    output.resize(std::min<std::size_t>(result.information, output.size()));
    reply.bytes = std::move(output);
    return reply;
}

Reply<InterfaceVersionInfo> GetInterfaceVersion(const Handle& handle) {
    return receive<InterfaceVersionInfo>(handle, IOCTL_DFU_GET_INTERFACE_VERSION);
}

Result ControlRequestOut(const Handle& handle, const ControlRequestRecord& request,
                         std::span<const std::uint8_t> data) {
    return resultOf(IoctlWithOutputBuffer(handle, IOCTL_DFU_CONTROL_REQUEST_OUT,
                                          recordBytes(request), Bytes(data.begin(), data.end())));
}

BytesReply ControlRequestIn(const Handle& handle, const ControlRequestRecord& request,
                            std::size_t length) {
    return send(handle, IOCTL_DFU_CONTROL_REQUEST_IN, recordBytes(request), length);
}

BytesReply GetUsbDescriptor(const Handle& handle, ULONG selector, UCHAR stringIndex,
                            std::size_t outputLength) {
    DescriptorRequestRecord request{};
    request.Selector = selector;
    request.StringIndex = stringIndex;
    return send(handle, IOCTL_DFU_GET_USB_DESCRIPTOR, recordBytes(request), outputLength);
}

Result BeginDfu(const Handle& handle, UCHAR alternateSetting) {
    Bytes input(BEGIN_DFU_INPUT_BYTES, 0);
    input[0] = alternateSetting;
    return resultOf(send(handle, IOCTL_DFU_BEGIN_DFU, input, 0));
}

Reply<DeviceHandleInfo> GetDeviceHandleInfo(const Handle& handle) {
    return receive<DeviceHandleInfo>(handle, IOCTL_DFU_GET_DEVICE_HANDLE_INFO);
}

Reply<DeviceIdentityInfo> GetIdentity(const Handle& handle) {
    return receive<DeviceIdentityInfo>(handle, IOCTL_DFU_GET_IDENTITY);
}

Reply<ULONG> GetInstanceStringSize(const Handle& handle) {
    return receive<ULONG>(handle, IOCTL_DFU_GET_INSTANCE_STRING_SIZE);
}

Reply<std::u16string> GetInstanceString(const Handle& handle, std::size_t outputLength) {
    const BytesReply reply = send(handle, IOCTL_DFU_GET_INSTANCE_STRING, {}, outputLength);
    Reply<std::u16string> decoded;
    decoded.status = reply.status;
    decoded.information = reply.information;
    decoded.record = textOf(reply.bytes.data(), reply.bytes.size());
    return decoded;
}

Reply<DEVICE_CAPS2> GetDeviceCaps(const Handle& handle) {
    return receive<DEVICE_CAPS2>(handle, IOCTL_DFU_GET_DEVICE_CAPS);
}

Reply<std::array<std::u16string, 4>> GetSegmentStrings(const Handle& handle) {
    const BytesReply reply =
        send(handle, IOCTL_DFU_GET_SEGMENT_STRINGS, {}, SEGMENT_STRINGS_REPLY_BYTES);
    Reply<std::array<std::u16string, 4>> decoded;
    decoded.status = reply.status;
    decoded.information = reply.information;
    for (std::size_t slot = 0; slot < 4; ++slot) {
        const std::size_t start = slot * SEGMENT_STRING_SLOT_BYTES;
        if (start < reply.bytes.size()) {
            decoded.record[slot] = textOf(
                reply.bytes.data() + start,
                std::min<std::size_t>(SEGMENT_STRING_SLOT_BYTES, reply.bytes.size() - start));
        }
    }
    return decoded;
}

Reply<ULONG> ReadParameter(const Handle& handle, std::u16string_view valueName, ULONG kind) {
    if (valueName.size() >= PARAMETER_NAME_CHARS) {
        Reply<ULONG> refused;
        refused.status = STATUS_INVALID_PARAMETER;
        return refused;
    }
    ParameterQuery query{};
    std::copy(valueName.begin(), valueName.end(), query.Name);
    query.Kind = kind;
    return receive<ULONG>(handle, IOCTL_DFU_READ_PARAMETER, recordBytes(query));
}

Result CyclePort(const Handle& handle) { return resultOf(send(handle, IOCTL_DFU_CYCLE_PORT, {}, 0)); }

Result ResetPort(const Handle& handle) { return resultOf(send(handle, IOCTL_DFU_RESET_PORT, {}, 0)); }

Result Detach(const Handle& handle, std::optional<USHORT> timeoutMs) {
    const Bytes input = timeoutMs ? ulongBytes(*timeoutMs) : Bytes{};
    return resultOf(send(handle, IOCTL_DFU_DETACH, input, 0));
}

Result Leave(const Handle& handle) { return resultOf(send(handle, IOCTL_DFU_LEAVE, {}, 0)); }

Result EraseEepromSection(const Handle& handle, LONG section) {
    return resultOf(
        send(handle, IOCTL_DFU_ERASE_EEPROM_SECTION, ulongBytes(static_cast<ULONG>(section)), 0));
}

Result SetIdle(const Handle& handle) { return resultOf(send(handle, IOCTL_DFU_SET_IDLE, {}, 0)); }

Reply<ULONG> GetBusyWaitLimit(const Handle& handle) {
    return receive<ULONG>(handle, IOCTL_DFU_GET_BUSY_WAIT_LIMIT);
}

Result PollDevice(const Handle& handle, ULONG iterations, std::optional<ULONG> delayMs) {
    Bytes input = ulongBytes(iterations);
    if (delayMs) {
        const Bytes delay = ulongBytes(*delayMs);
        input.insert(input.end(), delay.begin(), delay.end());
    }
    return resultOf(send(handle, IOCTL_DFU_POLL_DEVICE, input, 0));
}

Result SetFirmwareVersion(const Handle& handle, ULONG version) {
    return resultOf(send(handle, IOCTL_DFU_SET_FIRMWARE_VERSION, ulongBytes(version), 0));
}

Reply<ULONG> GetReadProtectState(const Handle& handle) {
    return receive<ULONG>(handle, IOCTL_DFU_GET_READ_PROTECT_STATE);
}

Result ReadUnprotect(const Handle& handle) {
    return resultOf(send(handle, IOCTL_DFU_READ_UNPROTECT, {}, 0));
}

BytesReply ReadOptionBytes(const Handle& handle, std::size_t length) {
    return send(handle, IOCTL_DFU_READ_OPTION_BYTES, {}, length);
}

Result WriteOptionBytes(const Handle& handle, std::span<const std::uint8_t> optionBytes) {
    return resultOf(Ioctl(handle, IOCTL_DFU_WRITE_OPTION_BYTES, optionBytes, 0));
}

Reply<ULONG> GetOptionByteWritesAllowed(const Handle& handle) {
    return receive<ULONG>(handle, IOCTL_DFU_GET_OPTION_BYTE_WRITES_ALLOWED);
}

Result SetOptionByteWritesAllowed(const Handle& handle, ULONG allowed) {
    return resultOf(send(handle, IOCTL_DFU_SET_OPTION_BYTE_WRITES_ALLOWED, ulongBytes(allowed), 0));
}

Reply<ManufacturerSerialBlock> GetManufacturerSerial(const Handle& handle) {
    return receive<ManufacturerSerialBlock>(handle, IOCTL_DFU_GET_MANUFACTURER_SERIAL);
}

Reply<std::array<std::uint8_t, APP_ID_RECORD_BYTES>> GetAppIdRecord(const Handle& handle) {
    return receive<std::array<std::uint8_t, APP_ID_RECORD_BYTES>>(handle,
                                                                  IOCTL_DFU_GET_APP_ID_RECORD);
}

Result MassErase(const Handle& handle) { return resultOf(send(handle, IOCTL_DFU_MASS_ERASE, {}, 0)); }

Result SequentialPing(const Handle& handle) {
    return resultOf(send(handle, IOCTL_DFU_SEQUENTIAL_PING, {}, 0));
}

}  // namespace client
