// The device's place on the bus: port cycle and reset, the topology address and its
// comparison, and the host stack's bus interface.
#include "usb/port_services.h"

#include "context/device_context.h"
#include "platform/trace.h"
#include "usb/control_transfer.h"

namespace {

constexpr LONG TOPOLOGY_TIMEOUT_MS = 500;
constexpr int HUB_TIERS = 5;

// Port cycle and reset differ only in the code; the I/O manager owns and frees the IRP.
NTSTATUS SendPortRequest(WDFDEVICE device, ULONG ioControlCode) {
    PFDO_DATA fdo = FdoGetData(device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, fdo->AttachedDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "no IRP for port request 0x%x", ioControlCode);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IofCallDriver(fdo->AttachedDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_USB, "port request 0x%x: 0x%x", ioControlCode,
                status);
    return status;
}

}  // namespace

NTSTATUS CyclePort(WDFDEVICE device) {
    return SendPortRequest(device, IOCTL_INTERNAL_USB_CYCLE_PORT);
}

NTSTATUS ResetPort(WDFDEVICE device) {
    return SendPortRequest(device, IOCTL_INTERNAL_USB_RESET_PORT);
}

NTSTATUS GetUsbTopologyAddress(WDFDEVICE device, PUSB_TOPOLOGY_ADDRESS address) {
    PFDO_DATA fdo = FdoGetData(device);
    RtlZeroMemory(address, sizeof(USB_TOPOLOGY_ADDRESS));
    NTSTATUS status = SendArgument1And2BufferToUSB(fdo->DeviceObject, fdo->AttachedDeviceObject,
                                                   IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS, address,
                                                   0, nullptr, nullptr, TOPOLOGY_TIMEOUT_MS);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "topology address failed 0x%x", status);
        // Whatever a failing lower driver left there is not an address.
        RtlZeroMemory(address, sizeof(USB_TOPOLOGY_ADDRESS));
    }
    return status;
}

BOOLEAN DoPassedUsbTopologyAddressesReferToSameDevice(WDFDEVICE /*device*/,
                                                      const USB_TOPOLOGY_ADDRESS* a,
                                                      const USB_TOPOLOGY_ADDRESS* b) {
    if (a == nullptr || b == nullptr) {
        return FALSE;
    }
    if (a->PciBusNumber != b->PciBusNumber || a->PciDeviceNumber != b->PciDeviceNumber ||
        a->PciFunctionNumber != b->PciFunctionNumber) {
        return FALSE;
    }
    // The deepest tier both reach: their hub is the one above it, so the ports there may differ.
    int tier = HUB_TIERS - 1;
    while (tier >= 0 && (a->HubPortNumber[tier] == 0 || b->HubPortNumber[tier] == 0)) {
        --tier;
    }
    if (tier < 0) {
        return FALSE;
    }
    if (a->RootHubPortNumber != b->RootHubPortNumber) {
        return FALSE;
    }
    for (int i = 0; i < tier; ++i) {
        if (a->HubPortNumber[i] != b->HubPortNumber[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

NTSTATUS ObtainAndReferenceHCDirectCallInterface(WDFDEVICE device) {
    PFDO_DATA fdo = FdoGetData(device);
    PIRP irp = IoAllocateIrp(fdo->AttachedDeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A PnP request nobody answers must come back as not supported.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SyncCompleteSubmitUrb, &event, TRUE, TRUE, TRUE);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&fdo->BusInterface);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;

    if (IofCallDriver(fdo->AttachedDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    // The bus hands the interface out referenced; the driver only remembers to release it.
    if (NT_SUCCESS(status) && fdo->BusInterface.InterfaceReference != nullptr) {
        InterlockedExchange(&fdo->BusInterfaceReferenced, 1);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_USB, "bus interface query 0x%x", status);
    IoFreeIrp(irp);
    return status;
}

void DereferenceHCDirectCallInterface(WDFDEVICE device) {
    PFDO_DATA fdo = FdoGetData(device);
    if (InterlockedCompareExchange(&fdo->BusInterfaceReferenced, 0, 1) == 0) {
        return;
    }
    if (fdo->BusInterface.InterfaceDereference != nullptr) {
        fdo->BusInterface.InterfaceDereference(fdo->BusInterface.BusContext);
    }
}
