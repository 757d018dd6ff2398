#include "tests/support/dfu_harness.h"

#include <stdexcept>

#include "dfu/dfu_protocol.h"
#include "driver/segments.h"
#include "notify/sibling_callback.h"
#include "tests/support/descriptor_bytes.h"
#include "usb/configuration.h"

namespace ostdfu_test {

namespace {

TransportOptions bootloaderOptions(sim::BootloaderConfig config) {
    TransportOptions options;
    options.makeEnd = [config](host::Clock& clock) {
        return std::make_shared<sim::Bootloader>(config, clock);
    };
    return options;
}

}  // namespace

DfuHarness::DfuHarness(sim::BootloaderConfig config)
    : DfuHarness(bootloaderOptions(std::move(config))) {
    prepare();
}

DfuHarness::DfuHarness(TransportOptions options)
    : transport_(std::make_unique<TransportHarness>(std::move(options))) {}

std::unique_ptr<DfuHarness> DfuHarness::scripted() {
    std::unique_ptr<DfuHarness> harness(new DfuHarness(TransportOptions{}));
    ScriptedDeviceEnd& end = harness->script();
    end.setDeviceDescriptor(descriptors::kDfuDevice);
    end.setConfigurationDescriptor(descriptors::kDfuConfiguration);
    end.setString(4, u"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg");
    end.setString(5, u"@Option Bytes  /0x1FFFC000/01*016 e");
    end.setString(6, u"@OTP Memory /0x1FFF7800/01*512 e,01*016 e");
    end.setString(7, u"@Device Feature/0xFFFF0000/01*004 e");
    harness->prepare();
    return harness;
}

void DfuHarness::prepare() {
    WDFDEVICE device = this->device();
    FDO_DATA* fdo = this->fdo();
    if (!NT_SUCCESS(ReadAndSelectDescriptors(device))) {
        throw std::runtime_error("the device could not be configured");
    }
    KeInitializeMutex(&fdo->SessionLock, 0);
    KeInitializeMutex(&fdo->DeviceMemoryLock, 0);
    KeInitializeSpinLock(&fdo->ManufacturerSerialCacheLock);
    fdo->ProductType = PRODUCT_TYPE_STM_DFU;
    fdo->IsStmDfuDevice = 1;
    fdo->NumDfuBootIterBusyWaits = 75;
    nrxutils_GetDeviceCaps2(device, &fdo->DeviceDescriptor, fdo->DeviceObject,
                            fdo->AttachedDeviceObject, PRODUCT_TYPE_STM_DFU, nullptr,
                            &fdo->DeviceCaps2);
    fdo->DfuInterfaceDescriptor =
        FindInterfaceDescriptor(device, nullptr, ANY_DESCRIPTOR_VALUE, ANY_DESCRIPTOR_VALUE, 0xFE,
                                0x01, ANY_DESCRIPTOR_VALUE);
    fdo->DfuFunctionalDescriptor = reinterpret_cast<DFU_FUNCTIONAL_DESCRIPTOR*>(
        FindDescriptor(device, fdo->DfuInterfaceDescriptor, USB_DFU_FUNCTIONAL_DESCRIPTOR_TYPE));
    if (fdo->DfuInterfaceDescriptor == nullptr || fdo->DfuFunctionalDescriptor == nullptr) {
        throw std::runtime_error("the device has no DFU interface");
    }
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    caps.Segment1Base = GetSegmentBaseAddress(device, 1);
    caps.Segment2Base = GetSegmentBaseAddress(device, 2);
    caps.Segment3Base = GetSegmentBaseAddress(device, 3);
    caps.Segment4Base = GetSegmentBaseAddress(device, 4);
    clear();
}

sim::Bootloader& DfuHarness::bootloader() {
    return dynamic_cast<sim::Bootloader&>(transport_->deviceEnd());
}

ScriptedDeviceEnd& DfuHarness::script() { return transport_->end(); }

std::vector<host::usb::TrafficEntry> DfuHarness::traffic() const {
    auto all = transport_->traffic();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(trafficMark_, all.size())),
            all.end()};
}

std::vector<UCHAR> DfuHarness::dfuRequests() const {
    std::vector<UCHAR> requests;
    for (const auto& entry : traffic()) {
        if (entry.kind == host::usb::TrafficEntry::Kind::Control &&
            (entry.setup[0] & 0x7F) == 0x21) {
            requests.push_back(entry.setup[1]);
        }
    }
    return requests;
}

int DfuHarness::count(UCHAR dfuRequest) const {
    int n = 0;
    for (UCHAR r : dfuRequests()) {
        n += r == dfuRequest ? 1 : 0;
    }
    return n;
}

std::vector<std::uint64_t> DfuHarness::delaysMs() const {
    return transport_->machine().waits().delaysMs();
}

void DfuHarness::clear() {
    trafficMark_ = transport_->traffic().size();
    transport_->machine().waits().clear();
}

}  // namespace ostdfu_test
