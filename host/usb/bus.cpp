#include "host/usb/bus.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>

#include "host/io/irp.h"
#include "host/machine.h"
#include "host/pnp/io_objects.h"
#include "host/usb/urb_host.h"

namespace host::usb {

namespace {

std::uint64_t nowMicros() {
    return Machine::exists() ? Machine::current().clock().nowMicros() : 0;
}

// bmRequestType of the vendor and class URB functions, for host-to-device transfers; the
// direction flag adds bit 7.
std::optional<std::uint8_t> requestTypeOf(USHORT function) {
    switch (function) {
        case URB_FUNCTION_VENDOR_DEVICE:
            return 0x40;
        case URB_FUNCTION_VENDOR_INTERFACE:
            return 0x41;
        case URB_FUNCTION_VENDOR_ENDPOINT:
            return 0x42;
        case URB_FUNCTION_VENDOR_OTHER:
            return 0x43;
        case URB_FUNCTION_CLASS_DEVICE:
            return 0x20;
        case URB_FUNCTION_CLASS_INTERFACE:
            return 0x21;
        case URB_FUNCTION_CLASS_ENDPOINT:
            return 0x22;
        case URB_FUNCTION_CLASS_OTHER:
            return 0x23;
        default:
            return std::nullopt;
    }
}

// What a control URB asks of the default pipe.
struct ControlRequest {
    SetupPacket setup;
    PVOID buffer = nullptr;
    ULONG length = 0;
};

PVOID bufferOf(PVOID buffer, PMDL mdl) {
    if (buffer == nullptr && mdl != nullptr) {
        return MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    }
    return buffer;
}

std::optional<ControlRequest> controlRequestOf(PURB urb) {
    ControlRequest request;
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        const _URB_CONTROL_DESCRIPTOR_REQUEST& d = urb->UrbControlDescriptorRequest;
        request.setup.bmRequestType = 0x80;
        request.setup.bRequest = 0x06;
        request.setup.wValue = static_cast<std::uint16_t>(d.DescriptorType << 8 | d.Index);
        request.setup.wIndex = d.LanguageId;
        request.buffer = bufferOf(d.TransferBuffer, d.TransferBufferMDL);
        request.length = d.TransferBufferLength;
    } else if (function == URB_FUNCTION_GET_STATUS_FROM_DEVICE) {
        // Always device-to-host, whatever the flags say: the stack sets the direction itself.
        const _URB_CONTROL_GET_STATUS_REQUEST& s = urb->UrbControlGetStatusRequest;
        request.setup.bmRequestType = 0x80;
        request.setup.bRequest = 0x00;
        request.setup.wValue = 0;
        request.setup.wIndex = s.Index;
        request.buffer = bufferOf(s.TransferBuffer, s.TransferBufferMDL);
        request.length = s.TransferBufferLength;
    } else if (function == URB_FUNCTION_CONTROL_TRANSFER) {
        const auto& t = *reinterpret_cast<const _URB_CONTROL_TRANSFER*>(urb);
        const UCHAR* p = t.SetupPacket;
        request.setup.bmRequestType = p[0];
        request.setup.bRequest = p[1];
        request.setup.wValue = static_cast<std::uint16_t>(p[2] | p[3] << 8);
        request.setup.wIndex = static_cast<std::uint16_t>(p[4] | p[5] << 8);
        request.buffer = bufferOf(t.TransferBuffer, t.TransferBufferMDL);
        request.length = t.TransferBufferLength;
    } else if (auto type = requestTypeOf(function)) {
        const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& v = urb->UrbControlVendorClassRequest;
        std::uint8_t bmRequestType = *type | v.RequestTypeReservedBits;
        if (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
            bmRequestType |= 0x80;
        }
        request.setup.bmRequestType = bmRequestType;
        request.setup.bRequest = v.Request;
        request.setup.wValue = v.Value;
        request.setup.wIndex = v.Index;
        request.buffer = bufferOf(v.TransferBuffer, v.TransferBufferMDL);
        request.length = v.TransferBufferLength;
    } else {
        return std::nullopt;
    }
    return request;
}

NTSTATUS completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

Device* deviceFrom(PDEVICE_OBJECT deviceObject) {
    return static_cast<Device*>(deviceObject->DeviceExtension);
}

}  // namespace

std::string describe(const TrafficEntry& entry) {
    std::string text;
    char piece[64];
    switch (entry.kind) {
        case TrafficEntry::Kind::ResetPort:
            text = "reset port";
            break;
        case TrafficEntry::Kind::CyclePort:
            text = "cycle port";
            break;
        case TrafficEntry::Kind::Control:
            text = "ctrl";
            for (std::uint8_t b : entry.setup) {
                std::snprintf(piece, sizeof(piece), " %02X", b);
                text += piece;
            }
            break;
    }
    const char* name = NtStatusName(entry.status);
    if (name != nullptr) {
        std::snprintf(piece, sizeof(piece), " -> %s", name);
    } else {
        std::snprintf(piece, sizeof(piece), " -> 0x%08X", static_cast<unsigned>(entry.status));
    }
    text += piece;
    if (entry.kind == TrafficEntry::Kind::Control) {
        std::snprintf(piece, sizeof(piece), " usbd 0x%08X %u/%u",
                      static_cast<unsigned>(entry.usbdStatus), entry.actualLength,
                      entry.requestedLength);
        text += piece;
        if (!entry.data.empty()) {
            text += " [";
            for (std::size_t i = 0; i < entry.data.size(); ++i) {
                std::snprintf(piece, sizeof(piece), i == 0 ? "%02X" : " %02X", entry.data[i]);
                text += piece;
            }
            text += "]";
        }
    }
    return text;
}

// ---- Device ----------------------------------------------------------------------------------

Device::Device(Bus& bus, DeviceEnd& end, std::shared_ptr<DeviceEnd> owner,
               USB_TOPOLOGY_ADDRESS address)
    : bus_(bus),
      owner_(std::move(owner)),
      end_(end),
      address_(address),
      pdoName_(bus.io_.nextPdoName()),
      pdo_(bus.io_, bus.driver_, pdoName_, 1, this) {
    gone_.store(!end_.connected());
    end_.setEvents(this);
}

Device::~Device() {
    end_.setEvents(nullptr);
}

std::vector<TrafficEntry> Device::traffic() const {
    std::lock_guard lock(recordMutex_);
    return traffic_;
}

void Device::clearTraffic() {
    std::lock_guard lock(recordMutex_);
    traffic_.clear();
}

void Device::record(TrafficEntry entry) {
    if (!recording_.load(std::memory_order_relaxed)) {
        return;
    }
    entry.timeMicros = nowMicros();
    std::lock_guard lock(recordMutex_);
    traffic_.push_back(std::move(entry));
}

void Device::deviceDisconnected() {
    gone_.store(true);
    if (BusListener* listener = bus_.listener()) {
        listener->deviceDisconnected(*this);
    }
}

void Device::deviceReconnected() {
    gone_.store(false);
    if (BusListener* listener = bus_.listener()) {
        listener->deviceReconnected(*this);
    }
}

NTSTATUS Device::submitUrb(PIRP irp, PURB urb) {
    if (urb == nullptr) {
        return completeIrp(irp, STATUS_INVALID_PARAMETER);
    }
    std::optional<ControlRequest> request = controlRequestOf(urb);
    if (!request) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return completeIrp(irp, STATUS_INVALID_PARAMETER);
    }
    // Every control URB keeps its transfer length at the same place.
    ULONG& transferLength = urb->UrbControlVendorClassRequest.TransferBufferLength;
    if (request->length > 0xFFFF || (request->length != 0 && request->buffer == nullptr)) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        transferLength = 0;
        return completeIrp(irp, STATUS_INVALID_PARAMETER);
    }
    request->setup.wLength = static_cast<std::uint16_t>(request->length);

    const bool recording = recording_.load(std::memory_order_relaxed);
    TrafficEntry entry;
    entry.kind = TrafficEntry::Kind::Control;
    entry.setup = request->setup.toBytes();
    entry.requestedLength = request->length;
    const bool in = request->setup.isIn();
    std::span<std::uint8_t> data(static_cast<std::uint8_t*>(request->buffer), request->length);
    if (!in && recording) {
        entry.data.assign(data.begin(), data.end());
    }

    TransferResult result{TransferStatus::Disconnected, 0};
    if (!gone_.load()) {
        std::uint32_t timeoutMs = io::senderTimeoutMs(irp);
        if (timeoutMs == 0) {
            timeoutMs = Bus::kDefaultTransferTimeoutMs;
        }
        std::lock_guard pipe(pipeMutex_);
        result = end_.controlTransfer(request->setup, data, timeoutMs);
    }
    if (result.actualLength > request->length) {
        result.actualLength = request->length;
    }

    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    std::uint32_t actual = result.actualLength;
    switch (result.status) {
        case TransferStatus::Completed:
            break;
        case TransferStatus::Stalled:
            status = STATUS_UNSUCCESSFUL;
            usbdStatus = USBD_STATUS_STALL_PID;
            actual = 0;
            break;
        case TransferStatus::TimedOut:
            status = STATUS_IO_TIMEOUT;
            usbdStatus = USBD_STATUS_TIMEOUT;
            actual = 0;
            break;
        case TransferStatus::Disconnected:
            status = STATUS_NO_SUCH_DEVICE;
            usbdStatus = USBD_STATUS_DEVICE_GONE;
            actual = 0;
            break;
    }
    if (recording) {
        if (in && status == STATUS_SUCCESS) {
            entry.data.assign(data.begin(), data.begin() + actual);
        }
        entry.actualLength = actual;
        entry.status = status;
        entry.usbdStatus = usbdStatus;
        record(std::move(entry));
    }

    urb->UrbHeader.Status = usbdStatus;
    transferLength = actual;
    return completeIrp(irp, status);
}

NTSTATUS Device::portOperation(TrafficEntry::Kind kind) {
    NTSTATUS status = STATUS_SUCCESS;
    if (gone_.load()) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        std::lock_guard pipe(pipeMutex_);
        if (kind == TrafficEntry::Kind::ResetPort) {
            end_.resetPort();
        } else {
            end_.cyclePort();
        }
    }
    TrafficEntry entry;
    entry.kind = kind;
    entry.status = status;
    record(std::move(entry));
    return status;
}

NTSTATUS Device::queryInterface(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const auto& query = location->Parameters.QueryInterface;
    // Anything but the version-1 USBDI interface is not ours to answer: the status the sender
    // preset stays, as PnP requires of a bus driver.
    const bool refused =
        host::Machine::current().faults().callFails(host::FaultSite::BusInterface).has_value();
    if (refused || query.InterfaceType == nullptr ||
        !IsEqualGUID(*query.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID) ||
        query.Version != USB_BUSIF_USBDI_VERSION_1 ||
        query.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1) || query.Interface == nullptr) {
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    auto* busInterface = reinterpret_cast<USB_BUS_INTERFACE_USBDI_V1*>(query.Interface);
    *busInterface = {};
    busInterface->Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    busInterface->Version = USB_BUSIF_USBDI_VERSION_1;
    busInterface->BusContext = this;
    busInterface->InterfaceReference = &Device::interfaceReference;
    busInterface->InterfaceDereference = &Device::interfaceDereference;
    busInterface->GetUSBDIVersion = &Device::getUsbdiVersion;
    busInterface->QueryBusTime = &Device::queryBusTime;
    busInterface->SubmitIsoOutUrb = &Device::submitIsoOutUrb;
    busInterface->QueryBusInformation = &Device::queryBusInformation;
    busInterface->IsDeviceHighSpeed = &Device::isDeviceHighSpeed;
    // An interface is handed out referenced; its user dereferences it once when done.
    interfaceReference(this);
    return completeIrp(irp, STATUS_SUCCESS);
}

void Device::interfaceReference(PVOID context) {
    auto* device = static_cast<Device*>(context);
    device->referenceCalls_.fetch_add(1);
    device->references_.fetch_add(1);
}

void Device::interfaceDereference(PVOID context) {
    auto* device = static_cast<Device*>(context);
    device->dereferenceCalls_.fetch_add(1);
    if (device->references_.fetch_sub(1) <= 0) {
        std::fprintf(stderr, "usb bus: bus interface dereferenced more often than referenced\n");
        std::abort();
    }
}

BOOLEAN Device::isDeviceHighSpeed(PVOID context) {
    return static_cast<Device*>(context)->speed() == UsbSpeed::High ? TRUE : FALSE;
}

void Device::getUsbdiVersion(PVOID, ULONG* usbdiVersion, ULONG* hcdCapabilities) {
    if (usbdiVersion != nullptr) {
        *usbdiVersion = 0x600;
    }
    if (hcdCapabilities != nullptr) {
        *hcdCapabilities = 0;
    }
}

NTSTATUS Device::queryBusTime(PVOID, ULONG* currentUsbFrame) {
    if (currentUsbFrame != nullptr) {
        *currentUsbFrame = static_cast<ULONG>(nowMicros() / 1000);  // one frame per millisecond
    }
    return STATUS_SUCCESS;
}

NTSTATUS Device::submitIsoOutUrb(PVOID, PURB) {
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS Device::queryBusInformation(PVOID, ULONG, PVOID, ULONG*, ULONG*) {
    return STATUS_NOT_SUPPORTED;
}

// ---- Hub -------------------------------------------------------------------------------------

Hub::Hub(Bus& bus, Hub* parent, USHORT portInParent, USHORT portCount, PciAddress pci)
    : bus_(bus),
      parent_(parent),
      portInParent_(portInParent),
      portCount_(portCount),
      pci_(pci),
      tier_(parent == nullptr ? 0 : parent->tier_ + 1) {}

void Hub::checkFreePort(USHORT port) const {
    if (port == 0 || port > portCount_) {
        throw std::logic_error("usb bus: no such port");
    }
    if (hubs_.count(port) != 0 || devices_.count(port) != 0) {
        throw std::logic_error("usb bus: port already taken");
    }
}

USB_TOPOLOGY_ADDRESS Hub::addressOfPort(USHORT port) const {
    // Walk up to the root hub collecting the ports on the way.
    std::vector<USHORT> path{port};
    const Hub* hub = this;
    while (hub->parent_ != nullptr) {
        path.push_back(hub->portInParent_);
        hub = hub->parent_;
    }
    USB_TOPOLOGY_ADDRESS address{};
    address.PciBusNumber = pci_.bus;
    address.PciDeviceNumber = pci_.device;
    address.PciFunctionNumber = pci_.function;
    address.RootHubPortNumber = path.back();
    for (std::size_t tier = 0; tier + 1 < path.size(); ++tier) {
        address.HubPortNumber[tier] = path[path.size() - 2 - tier];
    }
    return address;
}

Hub& Hub::attachHub(USHORT port, USHORT portCount) {
    checkFreePort(port);
    if (tier_ >= 5) {
        throw std::logic_error("usb bus: hubs reach at most five tiers below the root hub");
    }
    auto hub = std::make_unique<Hub>(bus_, this, port, portCount, pci_);
    Hub& result = *hub;
    hubs_[port] = std::move(hub);
    return result;
}

Device& Hub::attachDevice(USHORT port, DeviceEnd& end) {
    return attach(port, end, nullptr);
}

Device& Hub::attachDevice(USHORT port, std::shared_ptr<DeviceEnd> end) {
    DeviceEnd& reference = *end;
    return attach(port, reference, std::move(end));
}

Device& Hub::attach(USHORT port, DeviceEnd& end, std::shared_ptr<DeviceEnd> owner) {
    checkFreePort(port);
    auto device = std::make_unique<Device>(bus_, end, std::move(owner), addressOfPort(port));
    Device& result = *device;
    devices_[port] = std::move(device);
    if (BusListener* listener = bus_.listener()) {
        listener->deviceAttached(result);
    }
    return result;
}

void Hub::detach(USHORT port) {
    if (auto it = devices_.find(port); it != devices_.end()) {
        if (BusListener* listener = bus_.listener()) {
            listener->deviceDetached(*it->second);
        }
        devices_.erase(it);
        return;
    }
    if (auto it = hubs_.find(port); it != hubs_.end()) {
        Hub& hub = *it->second;
        std::vector<USHORT> ports;
        for (const auto& [p, child] : hub.hubs_) {
            ports.push_back(p);
        }
        for (const auto& [p, device] : hub.devices_) {
            ports.push_back(p);
        }
        for (USHORT p : ports) {
            hub.detach(p);
        }
        hubs_.erase(it);
    }
}

void Hub::collectDevices(std::vector<Device*>& out) const {
    for (const auto& [port, device] : devices_) {
        out.push_back(device.get());
    }
    for (const auto& [port, hub] : hubs_) {
        hub->collectDevices(out);
    }
}

// ---- HostController and Bus ------------------------------------------------------------------

HostController::HostController(Bus& bus, PciAddress pci, USHORT rootPorts)
    : pci_(pci), rootHub_(bus, nullptr, 0, rootPorts, pci) {}

Bus::Bus(IoObjects& io) : io_(io), driver_(io, u"\\Driver\\usbhub") {
    driver_.setDispatch(IRP_MJ_INTERNAL_DEVICE_CONTROL, &Bus::dispatchInternalDeviceControl);
    driver_.setDispatch(IRP_MJ_PNP, &Bus::dispatchPnp);
    for (UCHAR major :
         {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL, IRP_MJ_POWER}) {
        driver_.setDispatch(major, &Bus::dispatchOther);
    }
}

Bus::~Bus() = default;

HostController& Bus::addController(PciAddress pci, USHORT rootPorts) {
    controllers_.push_back(std::make_unique<HostController>(*this, pci, rootPorts));
    return *controllers_.back();
}

std::vector<Device*> Bus::devices() const {
    std::vector<Device*> result;
    for (const auto& controller : controllers_) {
        controller->rootHub_.collectDevices(result);
    }
    return result;
}

Device* Bus::deviceOf(PDEVICE_OBJECT pdo) const {
    for (Device* device : devices()) {
        if (device->pdo() == pdo) {
            return device;
        }
    }
    return nullptr;
}

NTSTATUS Bus::dispatchInternalDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Device* device = deviceFrom(deviceObject);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return device->submitUrb(irp, static_cast<PURB>(location->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return completeIrp(irp, device->portOperation(TrafficEntry::Kind::ResetPort));
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            return completeIrp(irp, device->portOperation(TrafficEntry::Kind::CyclePort));
        case IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS: {
            auto* out = static_cast<PUSB_TOPOLOGY_ADDRESS>(location->Parameters.Others.Argument1);
            if (out == nullptr) {
                return completeIrp(irp, STATUS_INVALID_PARAMETER);
            }
            *out = device->topologyAddress();
            return completeIrp(irp, STATUS_SUCCESS);
        }
        default:
            return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS Bus::dispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MinorFunction == IRP_MN_QUERY_INTERFACE) {
        return deviceFrom(deviceObject)->queryInterface(irp);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Bus::dispatchOther(PDEVICE_OBJECT, PIRP irp) {
    return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace host::usb
