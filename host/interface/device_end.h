// What the emulated USB bus needs from a device at one of its ports: control transfers on the
// default pipe, port reset and cycle, the speed, and word of disconnection and re-enumeration.
// The bootloader model and the libusb bridge both implement it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace host {

enum class UsbSpeed { Low, Full, High };

// The 8-byte setup stage, in host byte order; toBytes() gives the wire form.
struct SetupPacket {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;

    bool isIn() const { return (bmRequestType & 0x80) != 0; }
    std::array<std::uint8_t, 8> toBytes() const {
        return {bmRequestType,
                bRequest,
                static_cast<std::uint8_t>(wValue),
                static_cast<std::uint8_t>(wValue >> 8),
                static_cast<std::uint8_t>(wIndex),
                static_cast<std::uint8_t>(wIndex >> 8),
                static_cast<std::uint8_t>(wLength),
                static_cast<std::uint8_t>(wLength >> 8)};
    }
    friend bool operator==(const SetupPacket&, const SetupPacket&) = default;
};

enum class TransferStatus { Completed, Stalled, TimedOut, Disconnected };

struct TransferResult {
    TransferStatus status = TransferStatus::Completed;
    std::uint32_t actualLength = 0;  // bytes moved in the data stage
};

// The bus listens for a device that leaves on its own (leave DFU, reset after an option-byte
// write, read unprotect) and for its return.
class DeviceEndEvents {
public:
    virtual ~DeviceEndEvents() = default;
    virtual void deviceDisconnected() = 0;
    virtual void deviceReconnected() = 0;
};

class DeviceEnd {
public:
    virtual ~DeviceEnd() = default;
    // data holds wLength bytes: the bytes to send for OUT, room for the answer for IN.
    // Standard requests (descriptors, SET_INTERFACE, GET_STATUS) come through here too.
    virtual TransferResult controlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data,
                                           std::uint32_t timeoutMs) = 0;
    virtual void resetPort() = 0;
    // Disconnects and enumerates again.
    virtual void cyclePort() = 0;
    virtual UsbSpeed speed() const = 0;
    virtual bool connected() const = 0;
    virtual void setEvents(DeviceEndEvents* events) = 0;
    // Looks whether the device left or came back while nothing was sent to it. An end that tells
    // of both by itself (the bootloader model) has nothing to do; a real device, which nothing
    // watches in a one-shot command, is looked for at its place, and the events say what changed.
    virtual void checkPresence() {}
};

}  // namespace host
