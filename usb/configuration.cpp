// The device's configuration: the framework USB target, the cached descriptors, the bounded
// descriptor walk and the alternate settings of the DFU interface.
#include "usb/configuration.h"

#include "context/device_context.h"
#include "context/driver_globals.h"
#include "platform/kernel_helpers.h"
#include "platform/trace.h"
#include "usb/control_transfer.h"

namespace {

constexpr ULONG TAG_CONFIG_DESCRIPTOR_MEMORY = PoolTag("f5ds");
constexpr ULONG TAG_SETTING_PAIRS = PoolTag("OSRb");
constexpr ULONG TAG_CONFIG_READ_URB = PoolTag("sh5s");
constexpr ULONG TAG_CONFIG_READ_HEADER = PoolTag("gdzx");
constexpr ULONG TAG_CONFIG_READ_FULL = PoolTag("c73z");

constexpr LONG CONFIG_READ_TIMEOUT_MS = 500;

void BuildConfigDescriptorRequest(PURB urb, PVOID buffer, ULONG length) {
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, length);
}

}  // namespace

NTSTATUS ReadAndSelectDescriptors(WDFDEVICE device) {
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->UsbDevice == nullptr) {
        NTSTATUS status =
            WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &fdo->UsbDevice);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "WdfUsbTargetDeviceCreate failed 0x%x",
                        status);
            return status;
        }
    }
    WdfUsbTargetDeviceGetDeviceDescriptor(fdo->UsbDevice, &fdo->DeviceDescriptor);
    return ConfigureDevice(device);
}

NTSTATUS ConfigureDevice(WDFDEVICE device) {
    PFDO_DATA fdo = FdoGetData(device);
    USHORT size = 0;
    NTSTATUS status = WdfUsbTargetDeviceRetrieveConfigDescriptor(fdo->UsbDevice, nullptr, &size);
    if (status != STATUS_BUFFER_TOO_SMALL || size == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "size query answered 0x%x, size %u", status,
                    size);
        return status;
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = fdo->UsbDevice;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    status = WdfMemoryCreate(&attributes, NonPagedPoolType, TAG_CONFIG_DESCRIPTOR_MEMORY, size,
                             &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "WdfMemoryCreate failed 0x%x", status);
        return status;
    }
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(fdo->UsbDevice, buffer, &size);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "retrieve failed 0x%x", status);
        return status;
    }
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "configuration of %u bytes has no header", size);
        return STATUS_UNSUCCESSFUL;
    }
    auto* configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    // The header read that sized the buffer and the full answer need not agree on
    // wTotalLength. Every walk and copy of the cache is bounded by wTotalLength, so it must
    // not claim more than the buffer holds.
    if (configuration->wTotalLength > size) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_USB, "wTotalLength %u cut to the %u bytes received",
                    configuration->wTotalLength, size);
        configuration->wTotalLength = size;
    }
    fdo->ConfigurationDescriptor = configuration;
    OutputConfigDescriptorToWPP(fdo->ConfigurationDescriptor);
    return SelectInterfaces(device);
}

NTSTATUS SelectInterfaces(WDFDEVICE device) {
    PFDO_DATA fdo = FdoGetData(device);
    const UCHAR count = WdfUsbTargetDeviceGetNumInterfaces(fdo->UsbDevice);

    fdo->DefaultIoTarget = WdfDeviceGetIoTarget(device);
    if (fdo->DefaultIoTarget == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "no default I/O target");
        return STATUS_INVALID_DEVICE_STATE;
    }
    fdo->NumberOfInterfaces = count;
    if (count == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "the configuration has no interface");
        return STATUS_INVALID_DEVICE_STATE;
    }

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    if (count == 1) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
        NTSTATUS status =
            WdfUsbTargetDeviceSelectConfig(fdo->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "single-interface select failed 0x%x",
                        status);
            return status;
        }
        fdo->UsbInterface = params.Types.SingleInterface.ConfiguredUsbInterface;
        fdo->NumberConfiguredPipes = params.Types.SingleInterface.NumberConfiguredPipes;
        return status;
    }

    PoolBuffer pairsBuffer(PagedPool, sizeof(WDF_USB_INTERFACE_SETTING_PAIR) * count,
                           TAG_SETTING_PAIRS);
    if (!pairsBuffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* pairs = pairsBuffer.get<WDF_USB_INTERFACE_SETTING_PAIR>();
    RtlZeroMemory(pairs, sizeof(WDF_USB_INTERFACE_SETTING_PAIR) * count);
    for (UCHAR i = 0; i < count; ++i) {
        pairs[i].UsbInterface = WdfUsbTargetDeviceGetInterface(fdo->UsbDevice, i);
        pairs[i].SettingIndex = 0;
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, count, pairs);
    NTSTATUS status =
        WdfUsbTargetDeviceSelectConfig(fdo->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "select of %u interfaces failed 0x%x", count,
                    status);
        return status;
    }
    fdo->UsbInterface = pairs[0].UsbInterface;
    fdo->NumberConfiguredPipes = WdfUsbInterfaceGetNumConfiguredPipes(fdo->UsbInterface);
    return STATUS_SUCCESS;
}

const UCHAR* GetConfigDescriptorEnd(WDFDEVICE device) {
    PFDO_DATA fdo = FdoGetData(device);
    return reinterpret_cast<const UCHAR*>(fdo->ConfigurationDescriptor) +
           fdo->ConfigurationDescriptor->wTotalLength;
}

BOOLEAN IsDescriptorValid(WDFDEVICE device, const USB_COMMON_DESCRIPTOR* descriptor) {
    PFDO_DATA fdo = FdoGetData(device);
    if (descriptor == nullptr || fdo->ConfigurationDescriptor == nullptr) {
        return FALSE;
    }
    const auto* p = reinterpret_cast<const UCHAR*>(descriptor);
    const UCHAR* end = GetConfigDescriptorEnd(device);
    // Distances, not pointers past the end, so nothing is formed outside the buffer.
    if (p >= end || end - p < 2) {
        return FALSE;
    }
    if (descriptor->bLength < 2 || end - p < descriptor->bLength) {
        return FALSE;
    }
    return TRUE;
}

PUSB_COMMON_DESCRIPTOR NextDescriptor(WDFDEVICE device, const USB_COMMON_DESCRIPTOR* descriptor) {
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    const USB_COMMON_DESCRIPTOR* candidate = nullptr;
    if (descriptor == nullptr) {
        candidate = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(fdo->ConfigurationDescriptor);
    } else {
        if (!IsDescriptorValid(device, descriptor)) {
            return nullptr;
        }
        candidate = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(
            reinterpret_cast<const UCHAR*>(descriptor) + descriptor->bLength);
    }
    if (!IsDescriptorValid(device, candidate)) {
        return nullptr;
    }
    return const_cast<PUSB_COMMON_DESCRIPTOR>(candidate);
}

NTSTATUS SetAlternateSetting(WDFDEVICE device, UCHAR setting) {
    PFDO_DATA fdo = FdoGetData(device);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, setting);
    NTSTATUS status =
        WdfUsbInterfaceSelectSetting(fdo->UsbInterface, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "setting %u not selected: 0x%x", setting, status);
        return status;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_USB, "setting %u selected, %u endpoints", setting,
                WdfUsbInterfaceGetNumEndpoints(fdo->UsbInterface, setting));
    fdo->CurrentAlternateSetting = setting;
    return status;
}

NTSTATUS GetConfigurationDescriptor(WDFDEVICE device, PUSB_CONFIGURATION_DESCRIPTOR* descriptor,
                                    PULONG length) {
    PFDO_DATA fdo = FdoGetData(device);
    *descriptor = nullptr;
    *length = 0;

    PoolBuffer urbBuffer(NonPagedPoolType, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                         TAG_CONFIG_READ_URB);
    if (!urbBuffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PoolBuffer header(NonPagedPoolType, sizeof(USB_CONFIGURATION_DESCRIPTOR),
                      TAG_CONFIG_READ_HEADER);
    if (!header) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* urb = urbBuffer.get<URB>();
    RtlZeroMemory(header.get(), sizeof(USB_CONFIGURATION_DESCRIPTOR));
    BuildConfigDescriptorRequest(urb, header.get(), sizeof(USB_CONFIGURATION_DESCRIPTOR));
    NTSTATUS status = SendUrbToUSB(fdo->DeviceObject, fdo->AttachedDeviceObject, urb, nullptr, 0,
                                   nullptr, CONFIG_READ_TIMEOUT_MS);
    *length = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (!NT_SUCCESS(status) || *length != sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "header read 0x%x, %u bytes", status, *length);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }

    const USHORT totalLength = header.get<USB_CONFIGURATION_DESCRIPTOR>()->wTotalLength;
    if (totalLength <= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        // Nothing follows the header: success, and no buffer to hand over.
        *length = sizeof(USB_CONFIGURATION_DESCRIPTOR);
        return status;
    }

    PoolBuffer full(NonPagedPoolType, totalLength, TAG_CONFIG_READ_FULL);
    if (!full) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(full.get(), totalLength);
    BuildConfigDescriptorRequest(urb, full.get(), totalLength);
    status = SendUrbToUSB(fdo->DeviceObject, fdo->AttachedDeviceObject, urb, nullptr, 0, nullptr,
                          CONFIG_READ_TIMEOUT_MS);
    *length = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (!NT_SUCCESS(status) || *length != totalLength) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "full read 0x%x, %u of %u bytes", status, *length,
                    totalLength);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    *descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full.release());
    return status;
}

void OutputConfigDescriptorToWPP(const USB_CONFIGURATION_DESCRIPTOR* descriptor) {
    if (descriptor == nullptr) {
        return;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_USB,
                "bLength %u bDescriptorType %u wTotalLength %u bNumInterfaces %u "
                "bConfigurationValue %u iConfiguration %u bmAttributes 0x%02x MaxPower %u",
                descriptor->bLength, descriptor->bDescriptorType, descriptor->wTotalLength,
                descriptor->bNumInterfaces, descriptor->bConfigurationValue,
                descriptor->iConfiguration, descriptor->bmAttributes, descriptor->MaxPower);
}
