// dfuhost --usb watch: the production station. Every bootloader that arrives on the machine's
// USB (and every one there at the start) is brought up through the driver, identified and
// listed; with --flash it is flashed and verified as `flash` does it; units that leave are
// reported, and a unit that comes back is handled again.
//
// The bus (places, arrivals, removals) is run from this thread alone. Each unit's work runs on a
// thread of its own and reaches the driver only through the client library and the interface
// link it was handed, so a slow unit holds no other.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>

#include "client/firmware_image.h"
#include "host/libusb/bootloader_watch.h"
#include "tools/commands/commands.h"
#include "tools/commands/watch_events.h"
#include "tools/system/usb_bus.h"

namespace dfuhost {

namespace {

namespace lu = host::libusb;

// How long one look for changes may wait: also how soon an interrupt or a finished unit is seen.
constexpr std::chrono::milliseconds kLookInterval{100};
constexpr std::uint64_t kMaxCount = 1'000'000;
// A device just plugged in may not answer at once (on Linux its node's permissions come a moment
// after the kernel announces it): its descriptors are read again on this many looks before the
// unit is reported failed.
constexpr unsigned kEnumerationRetries = 20;

// Set by SIGINT and SIGTERM: a signal handler reaches nothing but static storage.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void noteInterrupt(int) { interrupted.store(true); }

// SIGINT and SIGTERM end the watch in order while it runs; what was there before comes back.
class InterruptHandlers {
public:
    InterruptHandlers() {
        interrupted.store(false);
        struct sigaction action {};
        action.sa_handler = noteInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &previousInt_);
        sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~InterruptHandlers() {
        sigaction(SIGINT, &previousInt_, nullptr);
        sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    InterruptHandlers(const InterruptHandlers&) = delete;
    InterruptHandlers& operator=(const InterruptHandlers&) = delete;

private:
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

// One place on the USB where bootloaders have been, and the work on its latest arrival.
struct Unit {
    DeviceSlot* slot = nullptr;
    std::shared_ptr<lu::LibusbDeviceEnd> end;
    bool present = false;
    unsigned address = 0;          // the address it has now
    unsigned failedLooks = 0;      // looks since its descriptors could not be read
    unsigned handledArrivals = 0;  // the slot's arrivals that got a worker
    bool reported = false;         // its latest arrival was reported: its leaving is, too
    std::atomic<bool> finished{false};
    std::atomic<bool> failed{false};
    std::jthread worker;
};

// A unit's work, on its own thread: identify it through the driver, then flash it.
void handleUnit(std::stop_token stop, Unit& unit, DeviceSummary summary, const std::u16string& link,
                const std::optional<FlashJob>& job, WatchEvents& events) {
    querySummary(summary, link);
    events.arrived(summary);
    if (!summary.published) {
        unit.failed = true;
    } else if (job) {
        JobContext context;
        context.open = [&link] { return client::openLink(link).handle; };
        context.warn = [&](const std::string& text) { events.warn(summary.name, text); };
        context.control.stop = stop;
        const JobOutcome outcome = runFlashJob(*job, context);
        events.flashed(summary.name, outcome);
        if (outcome.exitCode != kExitSuccess) unit.failed = true;
    }
    unit.finished = true;
}

class Station {
public:
    Station(const GlobalOptions& options, std::optional<FlashJob> job, std::uint64_t limit)
        : context_(openLibusb()), system_(noDevices(), systemOptionsOf(options)), job_(std::move(job)),
          limit_(limit), events_(options.json, system_.driverName()) {}

    // Exit code: 0 when every unit taken was handled well, 1 otherwise or when the driver would
    // not load.
    int run() {
        const NTSTATUS entry = system_.start();
        if (!NT_SUCCESS(entry)) {
            events_.warn("", "the driver did not load: " + statusName(entry));
            return kExitFailed;
        }
        lu::BootloaderWatch watch(context_);
        events_.warn("", std::string("watching for STM32 bootloaders (") +
                             (watch.hotplug() ? "hot-plug events" : "the device list looked at every 100 ms") +
                             "); Ctrl-C ends");
        while (!interrupted.load() && !(limit_ != 0 && taken_ >= limit_ && inWork() == 0)) {
            for (const lu::PlaceChange& change : watch.next(kLookInterval)) follow(change);
            system_.settle();
            for (Unit& unit : units_) tend(unit);
        }
        // Interrupted: the flashes in work stop between blocks. Otherwise they are done already.
        for (Unit& unit : units_) {
            if (unit.worker.joinable()) unit.worker.request_stop();
        }
        for (Unit& unit : units_) {
            if (unit.worker.joinable()) unit.worker.join();
            if (unit.failed) failed_ = true;
        }
        system_.removeAll();
        system_.unload();
        for (const std::string& tag : system_.leaks()) {
            events_.warn("", "pool tag " + tag + " still allocated after the driver unloaded");
        }
        return failed_ ? kExitFailed : kExitSuccess;
    }

private:
    static std::shared_ptr<lu::Context> openLibusb() {
        try {
            return std::make_shared<lu::Context>();
        } catch (const lu::UsbError& e) {
            throw UsageError(e.what());
        }
    }
    static scenario::Scenario noDevices() {
        scenario::Scenario bus;
        bus.fileName = kUsbBusName;
        return bus;
    }
    static SystemOptions systemOptionsOf(const GlobalOptions& options) {
        SystemOptions s = options.systemOptions();
        // A station runs for hours: transfers are kept only to be traced.
        s.recordTraffic = s.traceUsb;
        return s;
    }

    std::size_t inWork() const {
        std::size_t count = 0;
        for (const Unit& unit : units_) count += unit.worker.joinable() ? 1 : 0;
        return count;
    }
    bool takingUnits() const { return limit_ == 0 || taken_ < limit_; }

    Unit* unitAt(const lu::FoundDevice& device) {
        for (Unit& unit : units_) {
            if (unit.end->place().busNumber == device.busNumber && unit.end->place().ports == device.ports) {
                return &unit;
            }
        }
        return nullptr;
    }

    void follow(const lu::PlaceChange& change) {
        const lu::FoundDevice& device = change.device;
        const std::string name = usbDeviceName(device.busNumber, device.ports);
        Unit* unit = unitAt(device);
        if (change.kind == lu::PlaceChange::Kind::Left) {
            if (unit == nullptr || !unit->present) return;
            unit->present = false;
            unit->end->noticeDeparture();
            // A unit that came back after the last one was taken was left alone, and so is its going.
            if (unit->reported) events_.left(name);
            unit->reported = false;
            return;
        }
        if (unit != nullptr) {
            unit->address = device.address;
            unit->failedLooks = 0;
            unit->present = unit->end->noticeReturn(device.address);
            if (!unit->present) refuse(name, "it left again before it could be opened");
            return;
        }
        if (!takingUnits()) return;
        scenario::Device entry;
        try {
            const lu::BusPlace place = lu::busPlaceOf(device.busNumber, device.ports);
            entry.controller = place.controller;
            entry.location = place.location;
            entry.name = name;
            entry.locationGiven = true;
            // A libusb session of its own: whichever thread handles a session's events reaps
            // every device open in it, and a node that was pulled can leave that thread stuck
            // (seen under umockdev). So the watch's session holds no device, and a unit's holds
            // only its own, which only its own work touches.
            auto end = std::make_shared<lu::LibusbDeviceEnd>(std::make_shared<lu::Context>(), device,
                                                             system_.machine().clock());
            Unit& added = units_.emplace_back();
            added.end = end;
            added.present = true;
            added.address = device.address;
            added.slot = &system_.attach(std::move(entry), std::move(end));
        } catch (const lu::UsbError& e) {
            refuse(name, e.what());
        }
    }

    // A unit that cannot be worked on counts as taken, and failed.
    void refuse(const std::string& name, const std::string& message) {
        if (!takingUnits()) return;
        events_.failed(name, message);
        ++taken_;
        failed_ = true;
    }

    // Collects a finished worker, tries again a device whose descriptors could not be read, and
    // starts a worker for a new arrival.
    void tend(Unit& unit) {
        if (unit.worker.joinable() && unit.finished) unit.worker.join();
        if (unit.present && unit.slot->enumerationFailed && !unit.slot->bus->gone() && takingUnits()) {
            if (++unit.failedLooks <= kEnumerationRetries) {
                unit.end->noticeReturn(unit.address);
            } else if (unit.failedLooks == kEnumerationRetries + 1) {
                unit.reported = true;
                refuse(unit.slot->name(), "its descriptors could not be read");
            }
        }
        if (unit.worker.joinable() || unit.slot->arrivals == unit.handledArrivals || !takingUnits()) return;
        unit.handledArrivals = unit.slot->arrivals;
        unit.reported = true;
        ++taken_;
        DeviceSummary summary = placeSummary(system_, *unit.slot);
        const std::optional<std::u16string> link = system_.interfaceLink(*unit.slot, InterfaceKind::Driver);
        if (!link) {
            events_.failed(summary.name, "the driver did not start it (" + summary.pnpState + ")");
            failed_ = true;
            return;
        }
        unit.finished = false;
        unit.worker = std::jthread(handleUnit, std::ref(unit), std::move(summary), *link, std::cref(job_),
                                   std::ref(events_));
    }

    std::shared_ptr<lu::Context> context_;
    DriverOnBus system_;
    const std::optional<FlashJob> job_;
    const std::uint64_t limit_;  // 0: no limit
    WatchEvents events_;
    std::deque<Unit> units_;
    std::uint64_t taken_ = 0;
    bool failed_ = false;
};

}  // namespace

int watchCommand(const GlobalOptions& options, const WatchRequest& request) {
    if (!options.usb) throw UsageError("watch waits for bootloaders on the machine's USB: dfuhost --usb watch");
    if (!options.sim.empty()) throw UsageError("--usb and --sim " + options.sim + " both name the bus; give one");
    const std::uint64_t limit = request.count ? parseNumber(*request.count, "--count", kMaxCount) : 0;
    if (request.count && limit == 0) throw UsageError("--count: at least one unit");
    std::optional<FlashJob> job;
    if (!request.file.empty()) {
        job = flashJobOf(request.firmware);
        job->file = request.file;
        // A file that does not load is refused before any unit is touched.
        try {
            client::loadImage(job->file, job->address);
        } catch (const client::ImageError& e) {
            throw UsageError(e.what());
        }
    }
    const InterruptHandlers handlers;
    Station station(options, std::move(job), limit);
    return station.run();
}

}  // namespace dfuhost
