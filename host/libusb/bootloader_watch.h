// Which bootloaders come and go on the system's USB while a program runs. The device list is
// the truth: each look compares it with the previous one, so a device that left and came back
// between two looks (it has a new address then) is seen to do both. libusb's hot-plug events,
// where the platform has them, only end the wait early, so a change is seen at once rather than
// at the next look.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "host/libusb/libusb_device_end.h"

namespace host::libusb {

struct PlaceChange {
    enum class Kind { Arrived, Left } kind;
    FoundDevice device;
};

// What happened between two lists of bootloaders (each ordered as findBootloaders orders
// them): departures first, then arrivals, each in list order. A device at the same place with
// another address has been replugged, and so both left and arrived.
std::vector<PlaceChange> placeChanges(const std::vector<FoundDevice>& before, const std::vector<FoundDevice>& after);

class BootloaderWatch {
public:
    // Without hot-plug support, look every `pollInterval`.
    explicit BootloaderWatch(std::shared_ptr<Context> context,
                             std::chrono::milliseconds pollInterval = std::chrono::milliseconds(100));
    ~BootloaderWatch();
    BootloaderWatch(const BootloaderWatch&) = delete;
    BootloaderWatch& operator=(const BootloaderWatch&) = delete;

    // True when libusb delivers hot-plug events here; otherwise the list is polled.
    bool hotplug() const { return registered_; }

    // Waits at most `timeout` for a change, then returns what changed since the last call; the
    // first call reports every bootloader present as arrived.
    std::vector<PlaceChange> next(std::chrono::milliseconds timeout);

private:
    std::shared_ptr<Context> context_;
    std::chrono::milliseconds pollInterval_;
    bool registered_ = false;
    int callback_ = 0;
    bool first_ = true;
    // Set by the hot-plug callback, which runs on whichever thread handles libusb's events: this
    // one in next(), or one waiting for its own transfer.
    std::atomic<bool> woken_{false};
    std::vector<FoundDevice> known_;
};

}  // namespace host::libusb
