// A device with its DFU interface found and the capabilities defaults laid down, as hardware
// preparation leaves it just before the identity probe: for tests of the DFU engine and the
// device-memory operations. The device end is the bootloader model, or a scripted end for
// exact-traffic tests of the recovery and retry rules.
#pragma once

#include <memory>
#include <vector>

#include "sim/bootloader.h"
#include "tests/support/scripted_device_end.h"
#include "tests/support/transport_harness.h"

namespace ostdfu_test {

class DfuHarness {
public:
    // With the bootloader model.
    explicit DfuHarness(sim::BootloaderConfig config = {});
    // With a scripted end answering the standard requests of a four-segment bootloader.
    static std::unique_ptr<DfuHarness> scripted();

    WDFDEVICE device() const { return transport_->device(); }
    FDO_DATA* fdo() const { return transport_->fdo(); }
    host::Machine& machine() { return transport_->machine(); }
    sim::Bootloader& bootloader();
    ScriptedDeviceEnd& script();

    // DFU class requests (bRequest) sent since the last clear, in order.
    std::vector<UCHAR> dfuRequests() const;
    int count(UCHAR dfuRequest) const;
    // Delays the driver asked for since the last clear, in milliseconds.
    std::vector<std::uint64_t> delaysMs() const;
    std::vector<host::usb::TrafficEntry> traffic() const;
    void clear();

private:
    explicit DfuHarness(TransportOptions options);
    void prepare();

    std::unique_ptr<TransportHarness> transport_;
    std::size_t trafficMark_ = 0;
};

}  // namespace ostdfu_test
