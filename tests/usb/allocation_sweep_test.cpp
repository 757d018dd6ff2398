// Every allocation the USB transport makes, failed in turn: each failure gives
// STATUS_INSUFFICIENT_RESOURCES and leaves nothing behind. The sites are found by counting a
// clean run, so a new allocation is swept without touching this file.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "platform/kernel_helpers.h"
#include "tests/support/descriptor_bytes.h"
#include "tests/support/transport_harness.h"
#include "usb/configuration.h"
#include "usb/control_transfer.h"
#include "usb/port_services.h"

namespace ostdfu_test {
namespace {

const std::vector<const char*> kUsbTags = {"urbt", "utsw", "sh5s", "gdzx", "c73z",
                                           "OSRb", "f5ds", "objn", "iinf"};
const std::vector<host::FaultSite> kSites = {host::FaultSite::IrpAllocation,
                                             host::FaultSite::FrameworkObject};

ULONG tagOf(const char* text) {
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

struct Operation {
    const char* name;
    Bytes configuration;
    bool configured;  // ReadAndSelectDescriptors runs before the faults
    std::function<NTSTATUS(TransportHarness&)> run;
};

NTSTATUS instanceString(TransportHarness& h) {
    h.fdo()->DeviceDescriptor.iSerialNumber = 3;  // the harness's device has a serial number
    SIZE_T size = 7;
    PWSTR text = QueryInstanceString(h.device(), h.fdo()->PhysicalDeviceObject, &size);
    if (text == nullptr) {
        return size == 0 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_UNSUCCESSFUL;
    }
    ExFreePoolWithTag(text, PoolTag("iinf"));
    return STATUS_SUCCESS;
}

NTSTATUS freshConfiguration(TransportHarness& h) {
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = nullptr;
    ULONG length = 0;
    const NTSTATUS status = GetConfigurationDescriptor(h.device(), &descriptor, &length);
    if (descriptor != nullptr) {
        ExFreePoolWithTag(descriptor, PoolTag("c73z"));
    }
    return status;
}

const std::vector<Operation>& operations() {
    static const std::vector<Operation> list = {
        {"ReadAndSelectDescriptors", descriptors::kDfuConfiguration, false,
         [](TransportHarness& h) { return ReadAndSelectDescriptors(h.device()); }},
        {"ReadAndSelectDescriptorsThreeInterfaces", descriptors::kThreeInterfaceConfiguration,
         false, [](TransportHarness& h) { return ReadAndSelectDescriptors(h.device()); }},
        {"ControlVendorOrClassRequest", descriptors::kDfuConfiguration, true,
         [](TransportHarness& h) {
             UCHAR reply[2];
             return ControlVendorOrClassRequest(h.device(), URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0,
                                                0, 0, USBD_TRANSFER_DIRECTION_IN, reply, nullptr, 2,
                                                nullptr, 100, nullptr);
         }},
        {"GetUSBDescriptor", descriptors::kDfuConfiguration, false,
         [](TransportHarness& h) {
             UCHAR buffer[18];
             return GetUSBDescriptor(h.device(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer,
                                     sizeof(buffer), nullptr, 500, nullptr);
         }},
        {"GetStringDescString", descriptors::kDfuConfiguration, false,
         [](TransportHarness& h) {
             WCHAR text[128];
             return GetStringDescString(&h.fdo()->DeviceDescriptor, 0, 0x0409,
                                        h.fdo()->DeviceObject, h.fdo()->AttachedDeviceObject, text,
                                        sizeof(text));
         }},
        {"GetConfigurationDescriptor", descriptors::kDfuConfiguration, false, freshConfiguration},
        {"SetAlternateSetting", descriptors::kDfuConfiguration, true,
         [](TransportHarness& h) { return SetAlternateSetting(h.device(), 1); }},
        {"CyclePort", descriptors::kDfuConfiguration, false,
         [](TransportHarness& h) { return CyclePort(h.device()); }},
        {"ResetPort", descriptors::kDfuConfiguration, false,
         [](TransportHarness& h) { return ResetPort(h.device()); }},
        {"GetUsbTopologyAddress", descriptors::kDfuConfiguration, false,
         [](TransportHarness& h) {
             USB_TOPOLOGY_ADDRESS a;
             return GetUsbTopologyAddress(h.device(), &a);
         }},
        {"ObtainAndReferenceHCDirectCallInterface", descriptors::kDfuConfiguration, false,
         [](TransportHarness& h) {
             const NTSTATUS status = ObtainAndReferenceHCDirectCallInterface(h.device());
             if (!NT_SUCCESS(status) && h.fdo()->BusInterfaceReferenced != 0) {
                 return STATUS_UNSUCCESSFUL;  // a failure must hold no reference
             }
             DereferenceHCDirectCallInterface(h.device());
             return status;
         }},
        {"QueryInstanceString", descriptors::kDfuConfiguration, false, instanceString},
    };
    return list;
}

void PrintTo(const Operation& op, std::ostream* os) {
    *os << op.name;
}

std::unique_ptr<TransportHarness> harnessFor(const Operation& op) {
    auto end = std::make_shared<ScriptedDeviceEnd>();
    end->setConfigurationDescriptor(op.configuration);
    auto harness = std::make_unique<TransportHarness>(TransportOptions{}, end);
    if (op.configured && !NT_SUCCESS(ReadAndSelectDescriptors(harness->device()))) {
        ADD_FAILURE() << "preparation failed";
    }
    return harness;
}

// Tags still allocated, leaving out the descriptor memory that lives with the USB target.
std::vector<std::string> leaks(TransportHarness& h) {
    std::vector<std::string> tags = h.leakedTags();
    tags.erase(std::remove(tags.begin(), tags.end(), "f5ds"), tags.end());
    return tags;
}

class AllocationSweep : public ::testing::TestWithParam<Operation> {};

TEST_P(AllocationSweep, EveryFailureIsReportedAndLeavesNothing) {
    const Operation& op = GetParam();

    // A clean run counts the allocations and calls of each site.
    std::map<std::string, std::uint64_t> tagCounts;
    std::map<host::FaultSite, std::uint64_t> siteCounts;
    {
        auto harness = harnessFor(op);
        host::FaultPlan& faults = harness->machine().faults();
        std::map<std::string, std::uint64_t> tagBefore;
        std::map<host::FaultSite, std::uint64_t> siteBefore;
        for (const char* tag : kUsbTags)
            tagBefore[tag] = faults.allocationsSeen(tagOf(tag));
        for (host::FaultSite site : kSites)
            siteBefore[site] = faults.callsSeen(site);
        ASSERT_EQ(op.run(*harness), STATUS_SUCCESS);
        for (const char* tag : kUsbTags) {
            tagCounts[tag] = faults.allocationsSeen(tagOf(tag)) - tagBefore[tag];
        }
        for (host::FaultSite site : kSites)
            siteCounts[site] = faults.callsSeen(site) - siteBefore[site];
        EXPECT_EQ(leaks(*harness), std::vector<std::string>{});
    }

    std::size_t swept = 0;
    for (const auto& [tag, count] : tagCounts) {
        for (std::uint64_t nth = 1; nth <= count; ++nth) {
            SCOPED_TRACE(tag + " #" + std::to_string(nth));
            auto harness = harnessFor(op);
            harness->machine().faults().failAllocation(tagOf(tag.c_str()), nth);
            EXPECT_EQ(op.run(*harness), STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(leaks(*harness), std::vector<std::string>{});
            ++swept;
        }
    }
    for (const auto& [site, count] : siteCounts) {
        for (std::uint64_t nth = 1; nth <= count; ++nth) {
            SCOPED_TRACE("site " + std::to_string(static_cast<int>(site)) + " #" +
                         std::to_string(nth));
            auto harness = harnessFor(op);
            harness->machine().faults().failCall(site, nth);
            EXPECT_EQ(op.run(*harness), STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(leaks(*harness), std::vector<std::string>{});
            ++swept;
        }
    }
    EXPECT_GT(swept, 0u) << "an operation with no allocation site to sweep";
    RecordProperty("failures_swept", static_cast<int>(swept));
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationSweep, ::testing::ValuesIn(operations()),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace ostdfu_test
