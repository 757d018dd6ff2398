// CPU cost of one class-interface control transfer (a DFU GETSTATUS) through the driver's
// control gate, the framework's synchronous send, an IRP to the emulated bus, the setup packet
// and a device end: one that answers at once, and the bootloader model, which is also called
// directly for the cost of the model alone. Virtual clock; the bus record is off and the model's
// record is cleared as it goes, so the run does not grow memory.
#include <benchmark/benchmark.h>

#include <cstring>

#include "presets/presets.h"
#include "sim/bootloader.h"
#include "tests/support/transport_harness.h"
#include "usb/configuration.h"
#include "usb/control_transfer.h"

namespace {

class ImmediateEnd final : public host::DeviceEnd {
  public:
    host::TransferResult controlTransfer(const host::SetupPacket& setup,
                                         std::span<std::uint8_t> data, std::uint32_t) override {
        if (setup.bmRequestType == 0xA1) {
            static constexpr std::uint8_t kIdle[6] = {0x00, 0x00, 0x00, 0x00, 0x02, 0x00};
            const std::size_t n = std::min(data.size(), sizeof(kIdle));
            std::memcpy(data.data(), kIdle, n);
            return {host::TransferStatus::Completed, static_cast<std::uint32_t>(n)};
        }
        // The standard requests of configuration come from the scripted end's tables.
        return standard_.controlTransfer(setup, data, 0);
    }
    void resetPort() override {}
    void cyclePort() override {}
    host::UsbSpeed speed() const override { return host::UsbSpeed::Full; }
    bool connected() const override { return true; }
    void setEvents(host::DeviceEndEvents*) override {}

  private:
    ostdfu_test::ScriptedDeviceEnd standard_;
};

void BM_ControlTransferThroughGate(benchmark::State& state) {
    ostdfu_test::TransportHarness harness({}, std::make_shared<ImmediateEnd>());
    if (!NT_SUCCESS(ReadAndSelectDescriptors(harness.device()))) {
        state.SkipWithError("configuration failed");
        return;
    }
    harness.busDevice().setRecording(false);
    UCHAR reply[6];
    for (auto _ : state) {
        ULONG bytes = 0;
        USBD_STATUS usbStatus = 0;
        reply[4] = 0;
        const NTSTATUS status = ControlVendorOrClassRequest(
            harness.device(), URB_FUNCTION_CLASS_INTERFACE, 3, 0, 0, USBD_TRANSFER_DIRECTION_IN,
            reply, nullptr, sizeof(reply), &bytes, 500, &usbStatus);
        if (status != STATUS_SUCCESS || bytes != sizeof(reply) || reply[4] != 2) {
            state.SkipWithError("the transfer did not complete as a GETSTATUS in dfuIDLE");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    state.counters["pool_blocks_left"] =
        static_cast<double>(harness.machine().pool().outstanding().size());
}
BENCHMARK(BM_ControlTransferThroughGate);

constexpr unsigned kClearModelRecordEvery = 4096;

void BM_ControlTransferThroughGateToModel(benchmark::State& state) {
    host::VirtualClock modelClock;
    auto rom = std::make_shared<sim::Bootloader>(presets::presetFor(41), modelClock);
    ostdfu_test::TransportHarness harness({}, rom);
    if (!NT_SUCCESS(ReadAndSelectDescriptors(harness.device()))) {
        state.SkipWithError("configuration failed");
        return;
    }
    harness.busDevice().setRecording(false);
    UCHAR reply[6];
    unsigned sent = 0;
    for (auto _ : state) {
        ULONG bytes = 0;
        USBD_STATUS usbStatus = 0;
        const NTSTATUS status = ControlVendorOrClassRequest(
            harness.device(), URB_FUNCTION_CLASS_INTERFACE, 3, 0, 0, USBD_TRANSFER_DIRECTION_IN,
            reply, nullptr, sizeof(reply), &bytes, 500, &usbStatus);
        if (status != STATUS_SUCCESS || bytes != sizeof(reply)) {
            state.SkipWithError("GETSTATUS failed");
            break;
        }
        if (++sent % kClearModelRecordEvery == 0) rom->clearTransfers();
    }
}
BENCHMARK(BM_ControlTransferThroughGateToModel);

void BM_ControlTransferModelDirect(benchmark::State& state) {
    host::VirtualClock modelClock;
    sim::Bootloader rom(presets::presetFor(41), modelClock);
    // SET_CONFIGURATION 1, as the driver's configuration does before its first class request.
    const host::SetupPacket setConfiguration{0x00, 9, 1, 0, 0};
    rom.controlTransfer(setConfiguration, {}, 500);
    const host::SetupPacket getStatus{0xA1, 3, 0, 0, 6};
    std::uint8_t reply[6];
    unsigned sent = 0;
    for (auto _ : state) {
        const host::TransferResult result = rom.controlTransfer(getStatus, reply, 500);
        if (result.status != host::TransferStatus::Completed || result.actualLength != sizeof(reply)) {
            state.SkipWithError("GETSTATUS failed");
            break;
        }
        if (++sent % kClearModelRecordEvery == 0) rom.clearTransfers();
    }
}
BENCHMARK(BM_ControlTransferModelDirect);

}  // namespace

BENCHMARK_MAIN();
