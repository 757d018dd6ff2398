// IRPs on the machine: completion routines and their invoke flags, the pending flag's way up
// the stack, STATUS_MORE_PROCESSING_REQUIRED, the I/O manager's own IRPs, cancellation, the
// framework's synchronous send, and the ownership rules the machine enforces.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "host/framework/io_target.h"
#include "host/io/device_object.h"
#include "host/io/irp.h"
#include "host/io/scripted_lower_device.h"
#include "host/machine.h"
#include "platform/kernel_helpers.h"

namespace {

using host::io::ScriptedLowerDevice;
using Completion = ScriptedLowerDevice::Completion;

// A filter that forwards every IRP with a completion routine of its own and records what that
// routine saw.
class RecordingFilter {
  public:
    struct Call {
        const char* name;
        bool pendingReturned;
        PDEVICE_OBJECT deviceObject;
        bool cancel;
    };

    RecordingFilter(const char* name, PDEVICE_OBJECT lower, UCHAR flags, std::vector<Call>& calls,
                    NTSTATUS routineResult = STATUS_SUCCESS)
        : name_(name),
          flags_(flags),
          calls_(calls),
          routineResult_(routineResult),
          driver_(host::Machine::current().ioObjects(), u"\\Driver\\Recording"),
          device_(host::Machine::current().ioObjects(), driver_, u"", 1, this),
          lower_(lower) {
        for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
            driver_.setDispatch(major, &RecordingFilter::dispatch);
        }
        device_.attachTo(lower);
    }

    PDEVICE_OBJECT device() { return device_.get(); }

  private:
    static NTAPI NTSTATUS dispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
        auto* self = static_cast<RecordingFilter*>(deviceObject->DeviceExtension);
        host::io::copyCurrentStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, &RecordingFilter::completed, self, (self->flags_ & SL_INVOKE_ON_SUCCESS) != 0,
            (self->flags_ & SL_INVOKE_ON_ERROR) != 0, (self->flags_ & SL_INVOKE_ON_CANCEL) != 0);
        return IofCallDriver(self->lower_, irp);
    }
    static NTAPI NTSTATUS completed(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
        auto* self = static_cast<RecordingFilter*>(context);
        self->calls_.push_back(
            {self->name_, irp->PendingReturned != FALSE, deviceObject, irp->Cancel != FALSE});
        if (self->routineResult_ != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        return self->routineResult_;
    }

    const char* name_;
    UCHAR flags_;
    std::vector<Call>& calls_;
    NTSTATUS routineResult_;
    host::io::HostDriverObject driver_;
    host::io::HostDeviceObject device_;
    PDEVICE_OBJECT lower_;
};

constexpr UCHAR ALL = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

// Sends an I/O-manager IRP to top and waits for it; the status from the status block.
NTSTATUS sendBuilt(PDEVICE_OBJECT top, ULONG code = 0x220003) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, top, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    if (IofCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return ioStatus.Status;
}

TEST(IrpCompletion, RoutinesRunFromTheBottomUpWithTheDeviceThatSetThem) {
    host::Machine machine;
    std::vector<RecordingFilter::Call> calls;
    {
        ScriptedLowerDevice bottom(Completion::AtOnce);
        RecordingFilter lowerFilter("lower", bottom.device(), ALL, calls);
        RecordingFilter upperFilter("upper", lowerFilter.device(), ALL, calls);
        EXPECT_EQ(sendBuilt(upperFilter.device()), STATUS_SUCCESS);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_STREQ(calls[0].name, "lower");
        EXPECT_EQ(calls[0].deviceObject, lowerFilter.device());
        EXPECT_STREQ(calls[1].name, "upper");
        EXPECT_EQ(calls[1].deviceObject, upperFilter.device());
    }
    EXPECT_TRUE(machine.pool().leakedTags().empty());
}

struct InvokeCase {
    const char* name;
    NTSTATUS status;  // what the bottom completes with; STATUS_CANCELLED: cancelled by IoCancelIrp
    UCHAR flags;
    bool invoked;
};
void PrintTo(const InvokeCase& c, std::ostream* os) { *os << c.name; }

class InvokeFlags : public ::testing::TestWithParam<InvokeCase> {};

TEST_P(InvokeFlags, DecideWhetherTheRoutineRuns) {
    const InvokeCase& c = GetParam();
    host::Machine machine;
    std::vector<RecordingFilter::Call> calls;
    ScriptedLowerDevice bottom(c.status == STATUS_CANCELLED ? Completion::Held
                                                            : Completion::AtOnce);
    bottom.setAnswer({c.status, 0, {}});
    RecordingFilter filter("filter", bottom.device(), c.flags, calls);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, filter.device(), nullptr, 0, nullptr, 0,
                                             TRUE, &event, &ioStatus);
    if (IofCallDriver(filter.device(), irp) == STATUS_PENDING) {
        EXPECT_TRUE(IoCancelIrp(irp));
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_EQ(ioStatus.Status, c.status);
    EXPECT_EQ(calls.size(), c.invoked ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, InvokeFlags,
    ::testing::Values(
        InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, SL_INVOKE_ON_SUCCESS, true},
        InvokeCase{"SuccessOnError", STATUS_SUCCESS, SL_INVOKE_ON_ERROR, false},
        InvokeCase{"SuccessOnCancel", STATUS_SUCCESS, SL_INVOKE_ON_CANCEL, false},
        InvokeCase{"ErrorOnSuccess", STATUS_UNSUCCESSFUL, SL_INVOKE_ON_SUCCESS, false},
        InvokeCase{"ErrorOnError", STATUS_UNSUCCESSFUL, SL_INVOKE_ON_ERROR, true},
        InvokeCase{"ErrorOnCancel", STATUS_UNSUCCESSFUL, SL_INVOKE_ON_CANCEL, false},
        InvokeCase{"CancelledOnSuccess", STATUS_CANCELLED, SL_INVOKE_ON_SUCCESS, false},
        InvokeCase{"CancelledOnCancel", STATUS_CANCELLED, SL_INVOKE_ON_CANCEL, true},
        InvokeCase{"CancelledOnError", STATUS_CANCELLED, SL_INVOKE_ON_ERROR, true},
        InvokeCase{"NoFlags", STATUS_SUCCESS, 0, false}),
    [](const ::testing::TestParamInfo<InvokeCase>& info) { return std::string(info.param.name); });

TEST(IrpCompletion, PendingFromBelowReachesARoutineAboveAFilterWithoutOne) {
    for (const bool pending : {true, false}) {
        host::Machine machine;
        std::vector<RecordingFilter::Call> calls;
        ScriptedLowerDevice bottom(pending ? Completion::FromThread : Completion::AtOnce);
        ScriptedLowerDevice passDown(Completion::PassDown);
        passDown.attachTo(bottom.device());
        RecordingFilter top("top", passDown.device(), ALL, calls);
        EXPECT_EQ(sendBuilt(top.device()), STATUS_SUCCESS);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].pendingReturned, pending);
    }
}

TEST(IrpCompletion, MoreProcessingRequiredHandsTheIrpBackUntilItsOwnerCompletesItAgain) {
    host::Machine machine;
    std::vector<RecordingFilter::Call> calls;
    ScriptedLowerDevice bottom(Completion::AtOnce);
    RecordingFilter keeper("keeper", bottom.device(), ALL, calls, STATUS_MORE_PROCESSING_REQUIRED);
    RecordingFilter top("top", keeper.device(), ALL, calls);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    ioStatus.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, top.device(), nullptr, 0, nullptr, 0, TRUE,
                                             &event, &ioStatus);
    IofCallDriver(top.device(), irp);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_STREQ(calls[0].name, "keeper");
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "completion went on past the keeper";
    EXPECT_TRUE(host::io::ownedByLowerStack(irp)) << "the keeper is below the IRP's sender";

    // The keeper completes it again: the rest of the stack now sees it.
    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_STREQ(calls[1].name, "top");
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(ioStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(machine.pool().leakedTags().empty());
}

// ---- the I/O manager's own IRPs ----------------------------------------------------------------

TEST(BuiltIrp, BufferedOutputComesBackWithTheStatusBlockAndTheIrpIsFreed) {
    for (const Completion completion : {Completion::AtOnce, Completion::FromThread}) {
        host::Machine machine;
        {
            ScriptedLowerDevice bottom(completion);
            bottom.setAnswer({STATUS_SUCCESS, 3, [](PIRP irp) {
                                  auto* buffer =
                                      static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
                                  EXPECT_EQ(buffer[0], 0x11);  // the input, copied in
                                  buffer[0] = 0xA0;
                                  buffer[1] = 0xA1;
                                  buffer[2] = 0xA2;
                              }});
            UCHAR input[2] = {0x11, 0x22};
            UCHAR output[8] = {};
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK ioStatus{};
            PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, bottom.device(), input, 2, output,
                                                     sizeof(output), FALSE, &event, &ioStatus);
            ASSERT_NE(irp, nullptr);
            if (IofCallDriver(bottom.device(), irp) == STATUS_PENDING) {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            }
            EXPECT_EQ(KeReadStateEvent(&event), 1);
            EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
            EXPECT_EQ(ioStatus.Information, 3u);
            EXPECT_EQ(output[0], 0xA0);
            EXPECT_EQ(output[2], 0xA2);
            EXPECT_EQ(output[3], 0x00) << "only Information bytes come back";
            EXPECT_EQ(bottom.seen().back().majorFunction, IRP_MJ_DEVICE_CONTROL);
        }
        EXPECT_TRUE(machine.pool().leakedTags().empty());
    }
}

TEST(BuiltIrp, BufferedSystemBufferHoldsTheInputThenZeros) {
    struct Case {
        const char* name;
        ULONG in;
        ULONG out;
        bool inputGiven;
    };
    const Case cases[] = {
        {"output longer", 3, 16, true},
        {"input longer", 16, 3, true},
        {"output only", 0, 12, true},
        {"a length but no input buffer", 5, 8, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::Machine machine;
        std::vector<UCHAR> input(c.in);
        for (ULONG i = 0; i < c.in; ++i) input[i] = static_cast<UCHAR>(0x40 + i);
        std::vector<UCHAR> output(c.out);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus{};
        ScriptedLowerDevice bottom;
        PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, bottom.device(),
                                                 c.inputGiven ? input.data() : nullptr, c.in,
                                                 output.data(), c.out, FALSE, &event, &ioStatus);
        ASSERT_NE(irp, nullptr);
        const auto* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        ASSERT_NE(buffer, nullptr);
        std::vector<UCHAR> expected = c.inputGiven ? input : std::vector<UCHAR>(c.in, 0);
        expected.resize(std::max(c.in, c.out), 0);
        EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + expected.size()), expected);
        IoFreeIrp(irp);
        EXPECT_TRUE(machine.pool().leakedTags().empty());
    }
}

TEST(BuiltIrp, AllocationFailureGivesNoIrp) {
    host::Machine machine;
    ScriptedLowerDevice bottom;
    machine.faults().failCall(host::FaultSite::IrpAllocation, 1);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220007, bottom.device(), nullptr, 0, nullptr, 0, TRUE,
                                            &event, &ioStatus),
              nullptr);
}

// ---- cancellation ------------------------------------------------------------------------------

TEST(Cancel, WithoutARoutineNothingHappensButTheFlag) {
    host::Machine machine;
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
}

TEST(Cancel, IrpCancelledBeforeItArrivesIsEndedByItsDriver) {
    host::Machine machine;
    ScriptedLowerDevice bottom(Completion::Held);
    std::vector<RecordingFilter::Call> calls;
    RecordingFilter filter("filter", bottom.device(), ALL, calls);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, filter.device(), nullptr, 0, nullptr, 0,
                                             TRUE, &event, &ioStatus);
    EXPECT_FALSE(IoCancelIrp(irp));  // nobody holds it yet
    EXPECT_EQ(IofCallDriver(filter.device(), irp), STATUS_PENDING);
    EXPECT_EQ(ioStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(bottom.cancelRequests(), 1u);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].cancel);
}

// ---- the framework's synchronous send
// ------------------------------------------------------------

TEST(SynchronousSend, AnswerComesBackHoweverTheLowerDriverCompletes) {
    struct Case {
        const char* name;
        Completion completion;
        LONGLONG timeout;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"at once", Completion::AtOnce, 0, STATUS_SUCCESS},
        {"at once, failed, with a time-out", Completion::AtOnce, RelativeMilliseconds(500),
         STATUS_UNSUCCESSFUL},
        {"from its thread", Completion::FromThread, 0, STATUS_SUCCESS},
        // No time-out here: a timed wait would race the lower driver's thread for real time.
        {"from its thread, failed", Completion::FromThread, 0, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::Machine machine;
        {
            ScriptedLowerDevice bottom(c.completion);
            bottom.setAnswer({c.status, 7, {}});
            for (int i = 0; i < 3; ++i) {
                const host::fx::SyncSendResult result = host::fx::sendInternalIoctlSynchronously(
                    bottom.device(), 0x220003, nullptr, nullptr, nullptr, c.timeout);
                EXPECT_EQ(result.status, c.status);
                EXPECT_EQ(result.information, 7u);
            }
            EXPECT_EQ(bottom.seen().size(), 3u);
        }
        EXPECT_EQ(machine.clock().nowMicros(), 0u) << "no time-out may have run";
        EXPECT_TRUE(machine.pool().leakedTags().empty());
    }
}

TEST(SynchronousSend, TimeOutCancelsWaitsForTheLowerDriverAndReportsIoTimeout) {
    host::Machine machine;
    ScriptedLowerDevice bottom(Completion::Held);
    bottom.setOnCancel(ScriptedLowerDevice::OnCancel::HoldCancelled);
    std::atomic<bool> returned{false};
    host::fx::SyncSendResult result;
    std::thread sender([&] {
        result = host::fx::sendInternalIoctlSynchronously(
            bottom.device(), 0x220003, nullptr, nullptr, nullptr, RelativeMilliseconds(500));
        returned = true;
    });
    bottom.waitForCancelRequests(1);
    EXPECT_FALSE(returned.load()) << "returned while the lower driver still owned the IRP";
    ASSERT_TRUE(bottom.completeCancelled());
    sender.join();
    EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(machine.clock().nowMicros(), 500'000u);
    EXPECT_TRUE(machine.pool().leakedTags().empty());
}

TEST(SynchronousSend, WithoutTimeOutItWaitsForTheLateAnswer) {
    host::Machine machine;
    ScriptedLowerDevice bottom(Completion::Held);
    host::fx::SyncSendResult result;
    std::thread sender([&] {
        result = host::fx::sendInternalIoctlSynchronously(bottom.device(), 0x220003, nullptr,
                                                          nullptr, nullptr, 0);
    });
    bottom.waitForHeld(1);
    dynamic_cast<host::VirtualClock&>(machine.clock()).advanceMicros(60'000'000);
    ASSERT_TRUE(bottom.completeOldest(STATUS_SUCCESS, 9));
    sender.join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 9u);
    EXPECT_EQ(bottom.cancelRequests(), 0u);
}

TEST(SynchronousSend, PlatformCallPassesTheDescriptorsAsArguments) {
    host::Machine machine;
    ScriptedLowerDevice bottom(Completion::AtOnce);
    bottom.setAnswer({STATUS_SUCCESS, 4, {}});
    auto* target = new host::fx::IoTarget(nullptr, bottom.device());
    int one = 0;
    int four = 0;
    WDF_MEMORY_DESCRIPTOR first;
    WDF_MEMORY_DESCRIPTOR fourth;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&first, &one, sizeof(one));
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&fourth, &four, sizeof(four));
    ULONG_PTR bytes = 0;
    EXPECT_EQ(WdfIoTargetSendInternalIoctlOthersSynchronously(target->handleAs<WDFIOTARGET>(),
                                                              nullptr, 0x220003, &first, nullptr,
                                                              &fourth, nullptr, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    const auto seen = bottom.seen().back();
    EXPECT_EQ(seen.ioControlCode, 0x220003u);
    EXPECT_EQ(seen.argument1, &one);
    EXPECT_EQ(seen.argument2, nullptr);
    EXPECT_EQ(seen.argument4, &four);

    WDF_MEMORY_DESCRIPTOR handle{};
    handle.Type = WdfMemoryDescriptorTypeHandle;
    EXPECT_EQ(WdfIoTargetSendInternalIoctlOthersSynchronously(target->handleAs<WDFIOTARGET>(),
                                                              nullptr, 0x220003, &handle, nullptr,
                                                              nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    WdfObjectDelete(target->handle());
}

// ---- ownership rules ---------------------------------------------------------------------------

class IrpOwnershipDeathTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(IrpOwnershipDeathTest, FreeingAnIrpALowerDriverHoldsAborts) {
    EXPECT_DEATH(
        {
            host::Machine machine;
            ScriptedLowerDevice bottom(Completion::Held);
            bottom.setOnCancel(ScriptedLowerDevice::OnCancel::HoldCancelled);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IofCallDriver(bottom.device(), irp);
            IoCancelIrp(irp);
            IoFreeIrp(irp);  // not waiting for the cancelled IRP to come back: the sender's bug
        },
        "still owns");
}

TEST_F(IrpOwnershipDeathTest, CompletingTwiceAborts) {
    EXPECT_DEATH(
        {
            host::Machine machine;
            ScriptedLowerDevice bottom(Completion::AtOnce);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_MORE_PROCESSING_REQUIRED; },
                nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(bottom.device(), irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "completed twice");
}

TEST_F(IrpOwnershipDeathTest, AnAllocatedIrpThatRunsPastItsTopAborts) {
    EXPECT_DEATH(
        {
            host::Machine machine;
            ScriptedLowerDevice bottom(Completion::AtOnce);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IofCallDriver(bottom.device(), irp);
        },
        "past its top");
}

}  // namespace
