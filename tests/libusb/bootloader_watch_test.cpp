// What a watcher of the system's USB makes of two looks at the device list: the units that left
// and those that arrived, a replugged unit (same place, new address) as both.
#include <gtest/gtest.h>

#include "host/libusb/bootloader_watch.h"

namespace {

using host::libusb::FoundDevice;
using host::libusb::PlaceChange;
using Kind = PlaceChange::Kind;

// bus, address, ports
const FoundDevice kA{1, 2, {3}};
const FoundDevice kB{1, 3, {4, 1}};
const FoundDevice kAReplugged{1, 5, {3}};
const FoundDevice kOtherBus{2, 2, {3}};

struct Expected {
    Kind kind;
    unsigned address;
};

TEST(PlaceChanges, TwoLooksGiveDeparturesFirstThenArrivals) {
    const struct {
        const char* what;
        std::vector<FoundDevice> before;
        std::vector<FoundDevice> after;
        std::vector<Expected> changes;
    } cases[] = {
        {"nothing there", {}, {}, {}},
        {"the first look: all arrive", {}, {kA, kB}, {{Kind::Arrived, 2}, {Kind::Arrived, 3}}},
        {"nothing changed", {kA, kB}, {kA, kB}, {}},
        {"one pulled", {kA, kB}, {kB}, {{Kind::Left, 2}}},
        {"all pulled", {kA, kB}, {}, {{Kind::Left, 2}, {Kind::Left, 3}}},
        // Gone and back between two looks: the driver's device must go and arrive again.
        {"replugged: new address", {kA, kB}, {kAReplugged, kB}, {{Kind::Left, 2}, {Kind::Arrived, 5}}},
        // The same port and address on another bus is another device.
        {"same ports on another bus", {kA}, {kOtherBus}, {{Kind::Left, 2}, {Kind::Arrived, 2}}},
        {"one arrives beside another", {kB}, {kA, kB}, {{Kind::Arrived, 2}}},
    };
    for (const auto& c : cases) {
        const std::vector<PlaceChange> changes = host::libusb::placeChanges(c.before, c.after);
        ASSERT_EQ(changes.size(), c.changes.size()) << c.what;
        for (std::size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(changes[i].kind, c.changes[i].kind) << c.what << ", change " << i;
            EXPECT_EQ(changes[i].device.address, c.changes[i].address) << c.what << ", change " << i;
        }
    }
}


}  // namespace
