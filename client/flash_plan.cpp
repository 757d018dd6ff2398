#include "client/flash_plan.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace client {

namespace {

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

// Every byte of the element lies in a writable sector of the area; the flash sectors it touches
// are collected for erasing. Only flash is page-erased, whatever the letters of the other areas
// say (the F107 and F4 ROMs mark their option bytes and OTP "g", erasable): the option bytes
// are rewritten whole by the driver's write, and OTP cannot be erased at all, so an erase
// command there fails, and after the flash's pages are gone.
void checkElement(const ImageElement& element, const MemoryArea& area, std::set<std::pair<std::uint8_t, std::uint32_t>>& touched,
                  std::vector<PlannedErase>& erases) {
    std::uint64_t at = element.address;
    while (at < element.end()) {
        const Sector* sector = area.layout.sectorAt(static_cast<std::uint32_t>(at));
        if (sector == nullptr || (sector->access & kSectorWritable) == 0) {
            throw PlanRefusal(elementText(element) + " lies outside writable memory at " + hex32(at) + " (" +
                              area.layout.name + ")");
        }
        if (area.kind == AreaKind::Flash && (sector->access & kSectorErasable) != 0 &&
            touched.insert({element.alternateSetting, sector->address}).second) {
            erases.push_back({element.alternateSetting, sector->address, sector->size});
        }
        at = sector->end();
    }
}

// The driver writes the option bytes at its own base of the area, which on a dual-bank part's
// two-block string ("/0x1FFFC000/01*016 e/0x1FFEC000/01*016 e") is the first block, not the
// lowest: bytes meant for any other address would land there.
void checkOptionBytes(const ImageElement& element, const MemoryArea& area) {
    if (area.driverBase == 0) {
        throw PlanRefusal(elementText(element) + ": the driver found no address for the option bytes of this device");
    }
    if (element.address != area.driverBase || element.data.size() > kMaxOptionBytes) {
        throw PlanRefusal(elementText(element) + ": option bytes are written whole from " + hex32(area.driverBase) +
                          ", at most " + std::to_string(kMaxOptionBytes) + " bytes");
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
    for (const ImageElement* write : writes) total += write->data.size();
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
    // The element below is the last one that holds bytes: an empty one between them must not
    // hide an overlap.
    const ImageElement* below = nullptr;
    for (const ImageElement* next : sorted) {
        const ImageElement& element = *next;
        if (element.data.empty()) continue;
        if (below != nullptr && below->alternateSetting == element.alternateSetting && element.address < below->end()) {
            throw PlanRefusal(elementText(element) + " overlaps the element before it");
        }
        below = &element;
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
        if (area->kind == AreaKind::OptionBytes) checkOptionBytes(element, *area);
        checkElement(element, *area, touched, plan.erases);
        plan.writes.push_back(&element);
    }
    // The device applies option bytes by resetting: nothing can follow them.
    std::stable_partition(plan.writes.begin(), plan.writes.end(), [&](const ImageElement* w) {
        return device.areaFor(w->alternateSetting)->kind != AreaKind::OptionBytes;
    });
    std::sort(plan.erases.begin(), plan.erases.end(), [](const PlannedErase& a, const PlannedErase& b) {
        return std::pair(a.alternateSetting, a.address) < std::pair(b.alternateSetting, b.address);
    });
    return plan;
}

}  // namespace client
