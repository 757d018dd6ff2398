// The framework's USB target device and its interfaces. Creation reads the device and
// configuration descriptors through the lower stack; selecting a configuration or a setting
// sends SET_CONFIGURATION and SET_INTERFACE the same way, so every request reaches the bus and
// its record.
#pragma once

#include <cstdint>
#include <vector>

#include "host/framework/object.h"

namespace host::fx {

class UsbInterface;

class UsbDevice final : public Object {
  public:
    UsbDevice(Object* parent, PDEVICE_OBJECT target);

    // Reads the descriptors and builds the interfaces.
    NTSTATUS initialize();

    const USB_DEVICE_DESCRIPTOR& deviceDescriptor() const { return deviceDescriptor_; }
    const std::vector<std::uint8_t>& configDescriptor() const { return config_; }
    // bNumInterfaces of the configuration.
    UCHAR numInterfaces() const { return numInterfaces_; }
    UsbInterface* interfaceAt(UCHAR index) const;
    bool owns(const UsbInterface* usbInterface) const;

    NTSTATUS selectConfig(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS& params);
    // The type of the last successful selection (Invalid before the first).
    WdfUsbTargetDeviceSelectConfigType lastSelectType() const { return lastSelectType_; }

    // A standard control request on the default pipe, sent through the lower stack.
    NTSTATUS sendControl(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                         std::uint16_t wIndex, PVOID buffer, ULONG length, ULONG* actual);

  private:
    NTSTATUS readDescriptor(UCHAR type, PVOID buffer, ULONG length, ULONG* actual);
    NTSTATUS buildInterfaces();

    PDEVICE_OBJECT target_;
    USB_DEVICE_DESCRIPTOR deviceDescriptor_{};
    std::vector<std::uint8_t> config_;
    UCHAR numInterfaces_ = 0;
    std::vector<UsbInterface*> interfaces_;  // children
    WdfUsbTargetDeviceSelectConfigType lastSelectType_ = WdfUsbTargetDeviceSelectConfigTypeInvalid;
};

class UsbInterface final : public Object {
  public:
    struct Setting {
        UCHAR alternateSetting;
        UCHAR numEndpoints;
    };

    UsbInterface(UsbDevice& device, UCHAR interfaceNumber, std::vector<Setting> settings);

    UCHAR interfaceNumber() const { return interfaceNumber_; }
    const std::vector<Setting>& settings() const { return settings_; }
    // The setting index in force; meaningful while configured.
    UCHAR currentSettingIndex() const { return currentSetting_; }
    bool configured() const { return configured_; }
    UCHAR configuredPipes() const {
        return configured_ ? settings_[currentSetting_].numEndpoints : 0;
    }

    // Sends SET_INTERFACE for the setting at this index and makes it current.
    NTSTATUS selectSetting(UCHAR settingIndex);

  private:
    friend class UsbDevice;
    UsbDevice& device_;
    UCHAR interfaceNumber_;
    std::vector<Setting> settings_;
    UCHAR currentSetting_ = 0;
    bool configured_ = false;
};

}  // namespace host::fx
