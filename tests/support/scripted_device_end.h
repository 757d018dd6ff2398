// A device end for exact-traffic tests: it answers the chapter-9 requests from descriptor
// tables the test sets, answers everything else from a script, and records every transfer.
//
// Answering order for each control transfer:
//   1. the first scripted reply whose matcher accepts the setup packet (a reply is used `times`
//      times, or for ever when times is negative); scripted replies override descriptors too,
//      so a test can make GET_DESCRIPTOR come back short or stalled;
//   2. standard requests: GET_DESCRIPTOR (device, configuration, string, device qualifier; an
//      IN answer is cut to wLength; a descriptor the device lacks is stalled), SET_CONFIGURATION,
//      SET_INTERFACE (stalled unless the configuration has that interface and setting),
//      GET_STATUS (self-powered: 01 00);
//   3. anything else is stalled, as a real device stalls a request it does not know.
// While disconnected every transfer answers Disconnected and reaches neither script nor tables.
//
// Record format (one ScriptedTransfer per control transfer, in order):
//   setup        the 8-byte setup packet as received;
//   out          host-to-device data stage: the bytes the host sent (empty for IN);
//   in           device-to-host data stage: the bytes the device answered (actualLength of
//                them; empty for OUT and for failed transfers);
//   status       Completed / Stalled / TimedOut / Disconnected;
//   actualLength bytes moved in the data stage;
//   timeoutMs    the time-out the bus passed down with the transfer.
// Port operations are counted (resets(), cycles()), not recorded as transfers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "host/interface/device_end.h"

namespace ostdfu_test {

using Bytes = std::vector<std::uint8_t>;

struct ScriptedTransfer {
    host::SetupPacket setup;
    Bytes out;
    Bytes in;
    host::TransferStatus status = host::TransferStatus::Completed;
    std::uint32_t actualLength = 0;
    std::uint32_t timeoutMs = 0;
};

struct ScriptedReply {
    host::TransferStatus status = host::TransferStatus::Completed;
    // IN: the answer (cut to wLength). OUT: ignored.
    Bytes data;
    // OUT: bytes taken (default: all of wLength). IN: ignored (the answer's size counts).
    std::optional<std::uint32_t> outLength;

    static ScriptedReply answer(Bytes bytes) {
        return {host::TransferStatus::Completed, std::move(bytes), {}};
    }
    static ScriptedReply accept() { return {}; }
    static ScriptedReply stall() { return {host::TransferStatus::Stalled, {}, {}}; }
    static ScriptedReply timeOut() { return {host::TransferStatus::TimedOut, {}, {}}; }
};

using SetupMatcher = std::function<bool(const host::SetupPacket&)>;

// Matches bmRequestType and bRequest.
SetupMatcher requestMatcher(std::uint8_t bmRequestType, std::uint8_t bRequest);
// Matches GET_DESCRIPTOR of a type (and index, when given).
SetupMatcher descriptorMatcher(std::uint8_t type, std::optional<std::uint8_t> index = {});

// A string descriptor (bLength, type 3, UTF-16LE text).
Bytes stringDescriptor(std::u16string_view text);

class ScriptedDeviceEnd final : public host::DeviceEnd {
  public:
    ScriptedDeviceEnd();

    void setDeviceDescriptor(Bytes bytes);
    void setConfigurationDescriptor(Bytes bytes);
    // Raw descriptor bytes for string index; index 0 is the language list (09 04 by default).
    void setStringDescriptor(std::uint8_t index, Bytes bytes);
    void setString(std::uint8_t index, std::u16string_view text);
    void setDeviceQualifier(std::optional<Bytes> bytes);
    void setSpeed(host::UsbSpeed speed);

    void script(SetupMatcher match, ScriptedReply reply, int times = 1);
    void clearScript();

    // The cable: the bus hears of both.
    void disconnect();
    void reconnect();

    std::vector<ScriptedTransfer> transfers() const;
    void clearTransfers();
    int resets() const;
    int cycles() const;
    // The configuration value and the alternate setting of each interface the host selected.
    std::uint8_t configuration() const;
    std::uint8_t alternateSetting(std::uint8_t interfaceNumber) const;

    // host::DeviceEnd
    host::TransferResult controlTransfer(const host::SetupPacket& setup,
                                         std::span<std::uint8_t> data,
                                         std::uint32_t timeoutMs) override;
    void resetPort() override;
    void cyclePort() override;
    host::UsbSpeed speed() const override;
    bool connected() const override;
    void setEvents(host::DeviceEndEvents* events) override;

  private:
    struct Scripted {
        SetupMatcher match;
        ScriptedReply reply;
        int times;
    };
    std::optional<ScriptedReply> standardReply(const host::SetupPacket& setup);
    bool hasSetting(std::uint8_t interfaceNumber, std::uint8_t alternate) const;

    mutable std::mutex mutex_;
    Bytes device_;
    Bytes configuration_;
    std::map<std::uint8_t, Bytes> strings_;
    std::optional<Bytes> qualifier_;
    host::UsbSpeed speed_ = host::UsbSpeed::Full;
    std::vector<Scripted> script_;
    std::vector<ScriptedTransfer> transfers_;
    int resets_ = 0;
    int cycles_ = 0;
    bool connected_ = true;
    std::uint8_t selectedConfiguration_ = 0;
    std::map<std::uint8_t, std::uint8_t> alternates_;
    host::DeviceEndEvents* events_ = nullptr;
};

}  // namespace ostdfu_test
