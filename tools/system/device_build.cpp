#include "tools/system/device_build.h"

#include <stdexcept>

#include "presets/presets.h"
#include "sim/image_builder.h"
#include "sim/layout.h"

namespace dfuhost {

namespace {

std::string at(const scenario::Device& device, const std::string& key) {
    return "devices[" + std::to_string(device.index) + "]" + (key.empty() ? "" : "." + key);
}

// What kind of memory an alternate setting is, told by its name as the ROMs write it.
sim::SegmentKind kindOfLayout(const std::string& layout) {
    const auto parsed = sim::parseLayout(layout);
    const std::string name = parsed.ok() ? parsed.layout->name : layout;
    if (name.find("Option") != std::string::npos) return sim::SegmentKind::OptionBytes;
    if (name.find("OTP") != std::string::npos) return sim::SegmentKind::Otp;
    if (name.find("Feature") != std::string::npos) return sim::SegmentKind::DeviceFeature;
    return sim::SegmentKind::Flash;
}

void applySegments(const scenario::Scenario& s, const scenario::Device& d,
                   sim::BootloaderConfig& config) {
    std::vector<sim::SegmentConfig> segments;
    for (std::size_t i = 0; i < d.segments->size(); ++i) {
        const std::string& layout = (*d.segments)[i];
        const auto parsed = sim::parseLayout(layout);
        if (!parsed.ok()) {
            scenario::fail(s, at(d, "segments") + "[" + std::to_string(i) + "]",
                           "a layout string such as \"@Internal Flash  /0x08000000/128*0002Kg\" (" +
                               parsed.error.message + " at offset " +
                               std::to_string(parsed.error.offset) + ")");
        }
        sim::SegmentConfig segment{layout, kindOfLayout(layout), {}};
        // The preset's contents stay where they were when the segment stays where it was.
        if (i < config.segments.size() &&
            layoutBase(config.segments[i].layout) == layoutBase(layout)) {
            segment.kind = config.segments[i].kind;
            segment.image = std::move(config.segments[i].image);
        }
        segments.push_back(std::move(segment));
    }
    config.segments = std::move(segments);
}

std::optional<std::uint32_t> segmentBase(const sim::BootloaderConfig& config, sim::SegmentKind kind) {
    for (const sim::SegmentConfig& segment : config.segments) {
        if (segment.kind == kind) return layoutBase(segment.layout);
    }
    return std::nullopt;
}

void applyImages(const scenario::Scenario& s, const scenario::Device& d,
                 sim::BootloaderConfig& config) {
    sim::ImageBuilder image(config);
    if (d.optionBytes) {
        const auto base = segmentBase(config, sim::SegmentKind::OptionBytes);
        if (!base) {
            scenario::fail(s, at(d, "option_bytes"),
                           "a device with an option-byte segment (an \"@Option Bytes\" layout)");
        }
        try {
            image.put(*base, *d.optionBytes);
        } catch (const std::invalid_argument&) {
            scenario::fail(s, at(d, "option_bytes"), "an option-byte segment of at least 16 bytes");
        }
    }
    if (!d.identityRecords.empty()) {
        // The driver reads the identity records from the area of alternate setting 2.
        const auto base = config.segments.size() > 2 ? layoutBase(config.segments[2].layout)
                                                     : std::nullopt;
        if (!base) {
            scenario::fail(s, at(d, "identity_records"),
                           "a device with an identity area (alternate setting 2)");
        }
        std::vector<sim::IdentityRecord> records;
        for (const scenario::IdentityRecord& r : d.identityRecords) {
            records.push_back({r.pid, r.vid, r.variant});
        }
        try {
            image.identityRecords(*base, records);
        } catch (const std::invalid_argument&) {
            scenario::fail(s, at(d, "identity_records"),
                           "no more records than the identity area holds (8 bytes each)");
        }
    }
    for (std::size_t i = 0; i < d.memory.size(); ++i) {
        try {
            image.put(d.memory[i].address, d.memory[i].bytes);
        } catch (const std::invalid_argument&) {
            scenario::fail(s, at(d, "memory") + "[" + std::to_string(i) + "]",
                           "bytes that lie inside one segment of the device");
        }
    }
}

sim::FaultRequest requestOf(const std::string& name) {
    static const std::pair<const char*, sim::FaultRequest> kRequests[] = {
        {"DNLOAD", sim::FaultRequest::Dnload},       {"UPLOAD", sim::FaultRequest::Upload},
        {"GETSTATUS", sim::FaultRequest::GetStatus}, {"GETSTATE", sim::FaultRequest::GetState},
        {"CLRSTATUS", sim::FaultRequest::ClrStatus}, {"ABORT", sim::FaultRequest::Abort},
        {"DETACH", sim::FaultRequest::Detach},       {"GET_DESCRIPTOR", sim::FaultRequest::GetDescriptor},
    };
    for (const auto& [text, request] : kRequests) {
        if (name == text) return request;
    }
    return sim::FaultRequest::Any;
}

sim::Quirks quirksFor(const scenario::Quirks& q) {
    sim::Quirks quirks;
    quirks.firstStatusFirmwareError = q.firstStatusFirmwareError;
    quirks.stallStatusWhileBusy = q.stallStatusWhileBusy;
    quirks.pollTimeoutShorterThanBusy = q.pollTimeoutShorterThanBusy;
    quirks.stayInManifest = q.stayInManifest;
    quirks.disconnectBeforeLeaveStatus = q.disconnectBeforeLeaveStatus;
    quirks.extraBusyReplies = q.extraBusyReplies;
    quirks.answersWhileBusy = q.answersWhileBusy;
    quirks.strictAbort = q.strictAbort;
    quirks.strictClrStatus = q.strictClrStatus;
    return quirks;
}

sim::FaultAction actionOf(const std::string& name) {
    if (name == "timeout") return sim::FaultAction::Timeout;
    if (name == "unplug") return sim::FaultAction::Unplug;
    if (name == "reply") return sim::FaultAction::Reply;
    return sim::FaultAction::Stall;
}

}  // namespace

std::optional<std::uint32_t> layoutBase(const std::string& layout) {
    const auto parsed = sim::parseLayout(layout);
    if (!parsed.ok() || parsed.layout->groups.empty()) return std::nullopt;
    return parsed.layout->groups.front().address;
}

sim::BootloaderConfig bootloaderConfigFor(const scenario::Scenario& s, const scenario::Device& d) {
    presets::PresetOptions options;
    if (d.serialGiven) options.descriptorSerial = d.serial;
    if (d.readProtected) options.readProtected = *d.readProtected;
    if (d.transferSize) options.transferSize = *d.transferSize;
    if (d.manufacturerSerial) options.serial = *d.manufacturerSerial;
    if (d.firmwareVersion) options.firmwareVersion = *d.firmwareVersion;

    sim::BootloaderConfig config;
    try {
        config = d.productCode ? presets::presetFor(*d.productCode, options)
                               : presets::blankBootloader(options);
    } catch (const std::invalid_argument& e) {
        scenario::fail(s, at(d, d.productCode ? "preset" : ""),
                       d.productCode ? "a product code of the product table, or \"blank\""
                                     : std::string("a device the presets can build (") + e.what() + ")");
    }

    if (d.bcdUsb) config.bcdUSB = *d.bcdUsb;
    if (d.bcdDevice) config.bcdDevice = *d.bcdDevice;
    if (d.idVendor) config.idVendor = *d.idVendor;
    if (d.idProduct) config.idProduct = *d.idProduct;
    if (d.highSpeed) {
        // A high-speed device is a USB 2.0 device, and those answer the qualifier request.
        config.speed = *d.highSpeed ? host::UsbSpeed::High : host::UsbSpeed::Full;
        config.answersDeviceQualifier = *d.highSpeed;
    }
    if (d.attributes) config.functional.bmAttributes = *d.attributes;
    if (d.getCommands) config.getCommands = *d.getCommands;
    config.quirks = quirksFor(d.quirks);
    if (d.segments) applySegments(s, d, config);
    applyImages(s, d, config);
    return config;
}

std::vector<sim::Fault> faultsFor(const scenario::Device& d) {
    std::vector<sim::Fault> faults;
    for (const scenario::Fault& f : d.faults) {
        sim::Fault fault;
        fault.request = requestOf(f.request);
        fault.nth = f.nth;
        fault.count = f.count;
        fault.action = actionOf(f.action);
        fault.reply = f.reply;
        faults.push_back(std::move(fault));
    }
    return faults;
}

}  // namespace dfuhost
