#include "host/framework/usb_target.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "host/framework/device.h"
#include "host/framework/io_target.h"
#include "host/machine.h"
#include "host/usb/urb_host.h"

namespace host::fx {

namespace {

enum : std::uint8_t { kSetConfiguration = 0x09, kSetInterface = 0x0B };

struct FoundInterface {
    UCHAR number;
    std::vector<UsbInterface::Setting> settings;
};

}  // namespace

// ---- UsbDevice -------------------------------------------------------------------------------

UsbDevice::UsbDevice(Object* parent, PDEVICE_OBJECT target)
    : Object(parent, nullptr), target_(target) {}

UsbInterface* UsbDevice::interfaceAt(UCHAR index) const {
    return index < interfaces_.size() ? interfaces_[index] : nullptr;
}

bool UsbDevice::owns(const UsbInterface* usbInterface) const {
    return std::find(interfaces_.begin(), interfaces_.end(), usbInterface) != interfaces_.end();
}

NTSTATUS UsbDevice::readDescriptor(UCHAR type, PVOID buffer, ULONG length, ULONG* actual) {
    auto urb = std::make_unique<URB>();
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = length;
    request.DescriptorType = type;
    const SyncSendResult result = sendInternalIoctlSynchronously(
        target_, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get(), nullptr, nullptr, 0);
    *actual = NT_SUCCESS(result.status) ? request.TransferBufferLength : 0;
    return result.status;
}

NTSTATUS UsbDevice::sendControl(std::uint8_t bmRequestType, std::uint8_t bRequest,
                                std::uint16_t wValue, std::uint16_t wIndex, PVOID buffer,
                                ULONG length, ULONG* actual) {
    auto urb = std::make_unique<usb::_URB_CONTROL_TRANSFER>();
    urb->Hdr.Length = sizeof(usb::_URB_CONTROL_TRANSFER);
    urb->Hdr.Function = usb::URB_FUNCTION_CONTROL_TRANSFER;
    urb->TransferFlags = (bmRequestType & 0x80) ? ULONG{USBD_TRANSFER_DIRECTION_IN} : ULONG{0};
    urb->TransferBuffer = buffer;
    urb->TransferBufferLength = length;
    const UCHAR setup[8] = {bmRequestType,
                            bRequest,
                            static_cast<UCHAR>(wValue),
                            static_cast<UCHAR>(wValue >> 8),
                            static_cast<UCHAR>(wIndex),
                            static_cast<UCHAR>(wIndex >> 8),
                            static_cast<UCHAR>(length),
                            static_cast<UCHAR>(length >> 8)};
    std::copy(std::begin(setup), std::end(setup), urb->SetupPacket);
    const SyncSendResult result = sendInternalIoctlSynchronously(
        target_, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get(), nullptr, nullptr, 0);
    if (actual != nullptr) {
        *actual = NT_SUCCESS(result.status) ? urb->TransferBufferLength : 0;
    }
    return result.status;
}

NTSTATUS UsbDevice::initialize() {
    ULONG actual = 0;
    NTSTATUS status = readDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, &deviceDescriptor_,
                                     sizeof(deviceDescriptor_), &actual);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (actual != sizeof(deviceDescriptor_)) {
        return STATUS_UNSUCCESSFUL;
    }

    USB_CONFIGURATION_DESCRIPTOR header{};
    status = readDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header), &actual);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (actual != sizeof(header) || header.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        header.wTotalLength < sizeof(header)) {
        return STATUS_UNSUCCESSFUL;
    }
    config_.assign(header.wTotalLength, 0);
    status = readDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, config_.data(),
                            static_cast<ULONG>(config_.size()), &actual);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (actual != config_.size()) {
        return STATUS_UNSUCCESSFUL;
    }
    numInterfaces_ = header.bNumInterfaces;
    return buildInterfaces();
}

NTSTATUS UsbDevice::buildInterfaces() {
    // The walk stops quietly at a malformed descriptor: what lies before it still counts, and
    // the driver's own walk is left to judge the rest.
    std::vector<FoundInterface> found;
    std::size_t offset = 0;
    while (config_.size() - offset >= 2) {
        const UCHAR length = config_[offset];
        if (length < 2 || length > config_.size() - offset) {
            break;
        }
        if (config_[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
            length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            USB_INTERFACE_DESCRIPTOR descriptor;
            std::memcpy(&descriptor, &config_[offset], sizeof(descriptor));
            auto it = std::find_if(found.begin(), found.end(), [&](const FoundInterface& f) {
                return f.number == descriptor.bInterfaceNumber;
            });
            if (it == found.end()) {
                found.push_back({descriptor.bInterfaceNumber, {}});
                it = found.end() - 1;
            }
            it->settings.push_back({descriptor.bAlternateSetting, descriptor.bNumEndpoints});
        }
        offset += length;
    }
    if (found.size() < numInterfaces_) {
        return STATUS_INVALID_PARAMETER;
    }
    for (UCHAR i = 0; i < numInterfaces_; ++i) {
        interfaces_.push_back(
            new UsbInterface(*this, found[i].number, std::move(found[i].settings)));
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::selectConfig(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS& params) {
    std::vector<UCHAR> settings(interfaces_.size(), 0);
    switch (params.Type) {
        case WdfUsbTargetDeviceSelectConfigTypeDeconfig: {
            const NTSTATUS status = sendControl(0x00, kSetConfiguration, 0, 0, nullptr, 0, nullptr);
            if (NT_SUCCESS(status)) {
                for (UsbInterface* usbInterface : interfaces_) {
                    usbInterface->configured_ = false;
                }
                lastSelectType_ = params.Type;
            }
            return status;
        }
        case WdfUsbTargetDeviceSelectConfigTypeSingleInterface:
            if (interfaces_.size() != 1) {
                return STATUS_INVALID_PARAMETER;
            }
            break;
        case WdfUsbTargetDeviceSelectConfigTypeMultiInterface:
            break;
        case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs: {
            const auto& multi = params.Types.MultiInterface;
            if (multi.Pairs == nullptr || multi.NumberInterfaces != interfaces_.size()) {
                return STATUS_INVALID_PARAMETER;
            }
            std::vector<bool> seen(interfaces_.size(), false);
            for (UCHAR i = 0; i < multi.NumberInterfaces; ++i) {
                const WDF_USB_INTERFACE_SETTING_PAIR& pair = multi.Pairs[i];
                auto* usbInterface = Object::from<UsbInterface>(pair.UsbInterface);
                if (usbInterface == nullptr || !owns(usbInterface) ||
                    pair.SettingIndex >= usbInterface->settings_.size()) {
                    return STATUS_INVALID_PARAMETER;
                }
                const auto position = static_cast<std::size_t>(
                    std::find(interfaces_.begin(), interfaces_.end(), usbInterface) -
                    interfaces_.begin());
                if (seen[position]) {
                    return STATUS_INVALID_PARAMETER;
                }
                seen[position] = true;
                settings[position] = pair.SettingIndex;
            }
            break;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }

    const auto* header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(config_.data());
    NTSTATUS status =
        sendControl(0x00, kSetConfiguration, header->bConfigurationValue, 0, nullptr, 0, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (std::size_t i = 0; i < interfaces_.size(); ++i) {
        UsbInterface& usbInterface = *interfaces_[i];
        usbInterface.configured_ = true;
        usbInterface.currentSetting_ = 0;
        // SET_CONFIGURATION leaves every interface at its first setting; others need a request.
        if (settings[i] != 0) {
            status = usbInterface.selectSetting(settings[i]);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    if (params.Type == WdfUsbTargetDeviceSelectConfigTypeSingleInterface) {
        params.Types.SingleInterface.ConfiguredUsbInterface =
            interfaces_[0]->handleAs<WDFUSBINTERFACE>();
        params.Types.SingleInterface.NumberConfiguredPipes = interfaces_[0]->configuredPipes();
    } else {
        params.Types.MultiInterface.NumberOfConfiguredInterfaces =
            static_cast<UCHAR>(interfaces_.size());
    }
    lastSelectType_ = params.Type;
    return STATUS_SUCCESS;
}

// ---- UsbInterface ----------------------------------------------------------------------------

UsbInterface::UsbInterface(UsbDevice& device, UCHAR interfaceNumber, std::vector<Setting> settings)
    : Object(&device, nullptr),
      device_(device),
      interfaceNumber_(interfaceNumber),
      settings_(std::move(settings)) {}

NTSTATUS UsbInterface::selectSetting(UCHAR settingIndex) {
    if (settingIndex >= settings_.size()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!configured_) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const NTSTATUS status =
        device_.sendControl(0x01, kSetInterface, settings_[settingIndex].alternateSetting,
                            interfaceNumber_, nullptr, 0, nullptr);
    if (NT_SUCCESS(status)) {
        currentSetting_ = settingIndex;
    }
    return status;
}

}  // namespace host::fx

// ---- platform entry points -------------------------------------------------------------------

using host::fx::Object;
using host::fx::UsbDevice;
using host::fx::UsbInterface;

NTSTATUS imp_WdfUsbTargetDeviceCreate(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFDEVICE device,
                                      PWDF_OBJECT_ATTRIBUTES /*attributes*/,
                                      WDFUSBDEVICE* usbDevice) {
    if (usbDevice == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *usbDevice = nullptr;
    if (auto failure =
            host::Machine::current().faults().callFails(host::FaultSite::FrameworkObject)) {
        return *failure;
    }
    auto* fxDevice = Object::from<host::fx::Device>(device);
    if (fxDevice == nullptr || fxDevice->attachedDevice() == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* created = new UsbDevice(fxDevice, fxDevice->attachedDevice());
    const NTSTATUS status = created->initialize();
    if (!NT_SUCCESS(status)) {
        Object::destroy(created);
        return status;
    }
    *usbDevice = created->handleAs<WDFUSBDEVICE>();
    return STATUS_SUCCESS;
}

void imp_WdfUsbTargetDeviceGetDeviceDescriptor(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                               WDFUSBDEVICE usbDevice,
                                               PUSB_DEVICE_DESCRIPTOR usbDeviceDescriptor) {
    *usbDeviceDescriptor = Object::from<UsbDevice>(usbDevice)->deviceDescriptor();
}

NTSTATUS imp_WdfUsbTargetDeviceRetrieveConfigDescriptor(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                                        WDFUSBDEVICE usbDevice,
                                                        PVOID configDescriptor,
                                                        USHORT* configDescriptorLength) {
    if (configDescriptorLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::vector<std::uint8_t>& config =
        Object::from<UsbDevice>(usbDevice)->configDescriptor();
    const auto needed = static_cast<USHORT>(config.size());
    if (configDescriptor == nullptr || *configDescriptorLength < needed) {
        *configDescriptorLength = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(configDescriptor, config.data(), needed);
    *configDescriptorLength = needed;
    return STATUS_SUCCESS;
}

UCHAR imp_WdfUsbTargetDeviceGetNumInterfaces(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                             WDFUSBDEVICE usbDevice) {
    return Object::from<UsbDevice>(usbDevice)->numInterfaces();
}

WDFUSBINTERFACE imp_WdfUsbTargetDeviceGetInterface(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                                   WDFUSBDEVICE usbDevice, UCHAR interfaceIndex) {
    UsbInterface* usbInterface = Object::from<UsbDevice>(usbDevice)->interfaceAt(interfaceIndex);
    return usbInterface == nullptr ? nullptr : usbInterface->handleAs<WDFUSBINTERFACE>();
}

NTSTATUS imp_WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                            WDFUSBDEVICE usbDevice,
                                            PWDF_OBJECT_ATTRIBUTES /*pipeAttributes*/,
                                            PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params) {
    if (params == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Selecting creates the pipe and interface objects of the framework.
    if (auto failure =
            host::Machine::current().faults().callFails(host::FaultSite::FrameworkObject)) {
        return *failure;
    }
    return Object::from<UsbDevice>(usbDevice)->selectConfig(*params);
}

NTSTATUS imp_WdfUsbInterfaceSelectSetting(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                          WDFUSBINTERFACE usbInterface,
                                          PWDF_OBJECT_ATTRIBUTES /*pipesAttributes*/,
                                          PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS params) {
    if (params == nullptr || params->Type != WdfUsbInterfaceSelectSettingTypeSetting) {
        return STATUS_INVALID_PARAMETER;
    }
    return Object::from<UsbInterface>(usbInterface)
        ->selectSetting(params->Types.Interface.SettingIndex);
}

UCHAR imp_WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                               WDFUSBINTERFACE usbInterface) {
    return Object::from<UsbInterface>(usbInterface)->configuredPipes();
}

UCHAR imp_WdfUsbInterfaceGetNumEndpoints(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                         WDFUSBINTERFACE usbInterface, UCHAR settingIndex) {
    const auto& settings = Object::from<UsbInterface>(usbInterface)->settings();
    return settingIndex < settings.size() ? settings[settingIndex].numEndpoints : 0;
}

UCHAR imp_WdfUsbInterfaceGetInterfaceNumber(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                            WDFUSBINTERFACE usbInterface) {
    return Object::from<UsbInterface>(usbInterface)->interfaceNumber();
}
