#include "host/libusb/bootloader_watch.h"

#include <algorithm>
#include <thread>

#include <libusb.h>

namespace host::libusb {

namespace {

bool samePlace(const FoundDevice& a, const FoundDevice& b) {
    return a.busNumber == b.busNumber && a.ports == b.ports;
}

bool sameDevice(const FoundDevice& a, const FoundDevice& b) { return samePlace(a, b) && a.address == b.address; }

int LIBUSB_CALL noteHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void* woken) {
    static_cast<std::atomic<bool>*>(woken)->store(true);
    return 0;  // stay registered
}

}  // namespace

std::vector<PlaceChange> placeChanges(const std::vector<FoundDevice>& before, const std::vector<FoundDevice>& after) {
    const auto missingFrom = [](const std::vector<FoundDevice>& list, const FoundDevice& device) {
        return std::none_of(list.begin(), list.end(), [&](const FoundDevice& d) { return sameDevice(d, device); });
    };
    std::vector<PlaceChange> changes;
    for (const FoundDevice& device : before) {
        if (missingFrom(after, device)) changes.push_back({PlaceChange::Kind::Left, device});
    }
    for (const FoundDevice& device : after) {
        if (missingFrom(before, device)) changes.push_back({PlaceChange::Kind::Arrived, device});
    }
    return changes;
}

BootloaderWatch::BootloaderWatch(std::shared_ptr<Context> context, std::chrono::milliseconds pollInterval)
    : context_(std::move(context)), pollInterval_(pollInterval) {
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) return;
    libusb_hotplug_callback_handle handle = 0;
    const int rc = libusb_hotplug_register_callback(
        context_->get(),
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_NO_FLAGS, kBootloaderVendorId, kBootloaderProductId, LIBUSB_HOTPLUG_MATCH_ANY, noteHotplug,
        &woken_, &handle);
    registered_ = rc == LIBUSB_SUCCESS;
    callback_ = handle;
}

BootloaderWatch::~BootloaderWatch() {
    if (registered_) libusb_hotplug_deregister_callback(context_->get(), callback_);
}

std::vector<PlaceChange> BootloaderWatch::next(std::chrono::milliseconds timeout) {
    if (!first_) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        // Without hot-plug events every look is a poll; with them, the wait ends at the first
        // event (a look at the list now and then still catches anything an event missed).
        while (!woken_.exchange(false)) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) break;
            const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, pollInterval_);
            if (!registered_) {
                std::this_thread::sleep_for(slice);
                break;
            }
            const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(slice).count();
            timeval wait{static_cast<time_t>(micros / 1'000'000), static_cast<suseconds_t>(micros % 1'000'000)};
            libusb_handle_events_timeout_completed(context_->get(), &wait, nullptr);
        }
    }
    first_ = false;
    std::vector<FoundDevice> now = findBootloaders(*context_);
    std::vector<PlaceChange> changes = placeChanges(known_, now);
    known_ = std::move(now);
    return changes;
}

}  // namespace host::libusb
