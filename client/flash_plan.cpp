#include "client/flash_plan.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace client {

namespace {

// DNLOAD block numbers are 16-bit and start at 2: a longer run takes a new address pointer.
constexpr std::size_t kMaxBlocksPerRun = 0xFFFF - 2;
// What the driver's option-byte write takes.
constexpr std::size_t kMaxOptionBytes = 16;

std::string hex32(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

std::string elementText(const ImageElement& element) {
    return "element at " + hex32(element.address) + " (" + std::to_string(element.data.size()) +
           " bytes, alternate setting " + std::to_string(element.alternateSetting) + ")";
}

// Every byte of the element lies in a writable sector of the area; the sectors it touches are
// collected for erasing.
void checkElement(const ImageElement& element, const MemoryArea& area, std::set<std::pair<std::uint8_t, std::uint32_t>>& touched,
                  std::vector<PlannedErase>& erases) {
    std::uint64_t at = element.address;
    while (at < element.end()) {
        const Sector* sector = area.layout.sectorAt(static_cast<std::uint32_t>(at));
        if (sector == nullptr || (sector->access & kSectorWritable) == 0) {
            throw PlanRefusal(elementText(element) + " lies outside writable memory at " + hex32(at) + " (" +
                              area.layout.name + ")");
        }
        if ((sector->access & kSectorErasable) != 0 &&
            touched.insert({element.alternateSetting, sector->address}).second) {
            erases.push_back({element.alternateSetting, sector->address, sector->size});
        }
        at = sector->end();
    }
}

}  // namespace

std::uint64_t FlashPlan::eraseBytes() const {
    std::uint64_t total = 0;
    for (const PlannedErase& erase : erases) total += erase.size;
    return total;
}

std::uint64_t FlashPlan::writeBytes() const {
    std::uint64_t total = 0;
    for (const PlannedWrite& write : writes) total += write.length;
    return total;
}

FirmwareImage placeByAddress(FirmwareImage image, const DeviceFacts& device) {
    if (image.settingsGiven) return image;
    for (ImageElement& element : image.elements) {
        element.alternateSetting = device.areaOf(AreaKind::Flash)->alternateSetting;
        for (const MemoryArea& area : device.areas) {
            if (area.layout.sectorAt(element.address) != nullptr) element.alternateSetting = area.alternateSetting;
        }
    }
    image.settingsGiven = true;
    return image;
}

std::string productMismatch(const FirmwareImage& image, const DeviceFacts& device) {
    if (!image.product) return {};
    const ImageProduct& p = *image.product;
    if (p.idVendor == kBootloaderVid && p.idProduct == kBootloaderPid) return {};
    const bool vidMatches = p.idVendor == 0xFFFF || (device.productIdentified() && p.idVendor == device.appVid);
    const bool pidMatches = p.idProduct == 0xFFFF || (device.productIdentified() && p.idProduct == device.appPid);
    if (vidMatches && pidMatches) return {};
    char text[160];
    if (!device.productIdentified()) {
        std::snprintf(text, sizeof(text),
                      "the DFU suffix names product %04x:%04x, but the driver identified no product on "
                      "this device",
                      p.idVendor, p.idProduct);
    } else {
        std::snprintf(text, sizeof(text),
                      "the DFU suffix names product %04x:%04x, but the driver identified this device as "
                      "%04x:%04x",
                      p.idVendor, p.idProduct, device.appVid, device.appPid);
    }
    return text;
}

FlashPlan planFlash(const FirmwareImage& image, const DeviceFacts& device, const PlanOptions& options) {
    FlashPlan plan;
    plan.transferSize = device.transferSize;
    if (image.elements.empty() || image.totalBytes() == 0) throw PlanRefusal("the image holds no data");
    if (!options.anyProduct) {
        if (const std::string mismatch = productMismatch(image, device); !mismatch.empty()) {
            throw PlanRefusal(mismatch + " (--any-product takes it anyway)");
        }
    }
    if (device.readProtected) {
        if (!options.unprotect) {
            throw PlanRefusal("the device is read-protected; --unprotect removes the protection, which erases "
                              "the whole flash");
        }
        plan.readUnprotect = true;
        plan.warnings.push_back("removing read protection erases the whole flash");
    }

    std::set<std::pair<std::uint8_t, std::uint32_t>> touched;
    std::vector<const ImageElement*> sorted;
    for (const ImageElement& element : image.elements) sorted.push_back(&element);
    std::stable_sort(sorted.begin(), sorted.end(), [](const ImageElement* a, const ImageElement* b) {
        return std::pair(a->alternateSetting, a->address) < std::pair(b->alternateSetting, b->address);
    });
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const ImageElement& element = *sorted[i];
        if (element.data.empty()) continue;
        if (i > 0 && sorted[i - 1]->alternateSetting == element.alternateSetting &&
            element.address < sorted[i - 1]->end()) {
            throw PlanRefusal(elementText(element) + " overlaps the element before it");
        }
        const MemoryArea* area = device.areaFor(element.alternateSetting);
        if (area == nullptr) {
            throw PlanRefusal(elementText(element) + ": the device has no memory area at that alternate setting");
        }
        if (area->kind == AreaKind::OptionBytes && !options.optionBytes) {
            throw PlanRefusal(elementText(element) + " writes the option bytes; only --option-bytes allows that");
        }
        if (area->kind == AreaKind::Otp && !options.otp) {
            throw PlanRefusal(elementText(element) + " writes the one-time-programmable area; only --otp allows that");
        }
        if (area->kind == AreaKind::Other) {
            throw PlanRefusal(elementText(element) + " writes the " + area->layout.name + " area, which is not firmware");
        }
        if (area->kind == AreaKind::OptionBytes &&
            (element.address != area->layout.sectors.front().address || element.data.size() > kMaxOptionBytes)) {
            throw PlanRefusal(elementText(element) + ": option bytes are written whole from " +
                              hex32(area->layout.sectors.front().address) + ", at most " +
                              std::to_string(kMaxOptionBytes) + " bytes");
        }
        checkElement(element, *area, touched, plan.erases);
        const std::size_t runBytes = kMaxBlocksPerRun * device.transferSize;
        for (std::size_t offset = 0; offset < element.data.size(); offset += runBytes) {
            plan.writes.push_back({element.alternateSetting, element.address + static_cast<std::uint32_t>(offset),
                                   &element, offset, std::min(runBytes, element.data.size() - offset)});
        }
    }
    // The device applies option bytes by resetting: nothing can follow them.
    std::stable_partition(plan.writes.begin(), plan.writes.end(), [&](const PlannedWrite& w) {
        return device.areaFor(w.alternateSetting)->kind != AreaKind::OptionBytes;
    });
    std::sort(plan.erases.begin(), plan.erases.end(), [](const PlannedErase& a, const PlannedErase& b) {
        return std::pair(a.alternateSetting, a.address) < std::pair(b.alternateSetting, b.address);
    });
    return plan;
}

}  // namespace client
