#include "tools/system/demo_bus.h"

namespace dfuhost {

namespace {

// Each device has a serial-number string of its own, as chips do (it is the chip's unique ID),
// and a manufacturer serial and firmware version of its own, so that the listing tells them
// apart. Locations: controller 0, root-hub ports 1 to 14; a four-port hub at port 15 with the
// sibling pair.
const char kDemoBus[] = R"json({
  "version": 1,
  "comment": "The demo bus: one bootloader per product family and the cases a technician meets.",
  "system_version": "10.0",
  "devices": [
    {"name": "drift-pedals", "location": [1], "preset": 35, "serial": "3276355E3036",
     "firmware_version": "0x0105"},
    {"name": "classic-wheel", "location": [2], "preset": 5, "serial": "2F8A11C40D51",
     "firmware_version": "0x0210"},
    {"name": "circuit-base", "location": [3], "preset": 49, "serial": "35A7102B4E12",
     "manufacturer_serial": "0x0000003100A4C201", "firmware_version": "0x0412"},
    {"name": "apex-pedals", "location": [4], "preset": 66, "serial": "1B3C5D7E9F01",
     "manufacturer_serial": "0x0000004200B1D377", "firmware_version": "0x0107"},
    {"name": "summit-base", "location": [5], "preset": 46, "serial": "20FF31A8C4E6",
     "manufacturer_serial": "0x0000002E01C0FFEE", "firmware_version": "0x0520"},
    {"name": "pulse-dj", "location": [6], "preset": 68, "serial": "394B0C2D1E7F",
     "manufacturer_serial": "0x0000004300D00D11", "firmware_version": "0x0301"},
    {"name": "horizon-stick", "location": [7], "preset": 28, "serial": "0A1B2C3D4E5F",
     "firmware_version": "0x0114"},
    {"name": "orbit-pad", "location": [8], "preset": 38, "serial": "11223344AABB",
     "firmware_version": "0x0203"},
    {"name": "meridian-yoke", "location": [9], "preset": 57, "serial": "5566778899AA",
     "firmware_version": "0x0106"},
    {"name": "vector-throttle", "location": [10], "preset": 25, "serial": "6A7B8C9D0E1F"},
    {"name": "oskeny-deck", "location": [11], "preset": 61, "serial": "7C8D9EAFB0C1",
     "manufacturer_serial": "0x0000003D00E1E2E3",
     "firmware_version": "0x0902"},
    {"name": "locked-base", "location": [12], "preset": 64, "serial": "48D0E1F20314",
     "read_protected": true,
     "comment": "read protection on: the driver cannot read its memory and says so"},
    {"name": "blank", "location": [13], "preset": "blank", "serial": "315A28A0B956",
     "comment": "a bootloader with nothing written: no product, the bootloader's own identity"},
    {"name": "unknown-product", "location": [14], "preset": "blank", "serial": "3A0B1C2D3E4F",
     "identity_records": [{"pid": "0x7E57", "vid": "0x3A7C", "variant": 0}],
     "comment": "an identity record whose product ID no row of the table has"},
    {"name": "strada-wheel", "location": [15, 1], "preset": 27, "serial": "4F1E2D3C4B5A",
     "manufacturer_serial": "0x0000001B0042A5A5", "firmware_version": "0x0311",
     "comment": "sibling pair: two products that answer sibling drivers, below one hub"},
    {"name": "strada-base", "location": [15, 2], "preset": 41, "serial": "4F1E2D3C4B5B",
     "manufacturer_serial": "0x0000002900135A5A", "firmware_version": "0x0208"}
  ]
})json";

}  // namespace

const std::string& demoBusText() {
    static const std::string text(kDemoBus);
    return text;
}

scenario::Scenario demoBus() { return scenario::parseScenarioText(demoBusText(), kDemoBusName); }

}  // namespace dfuhost
