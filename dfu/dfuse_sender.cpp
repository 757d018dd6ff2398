#include "context/device_context.h"
#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"
#include "platform/kernel_helpers.h"
#include "platform/trace.h"

namespace {

constexpr ULONG kAttemptsPerCommand = 5;
constexpr ULONG kReadProtectedClearBudget = 50;
// Enough for a device that answers busy a few times past its work, few enough that one that
// never stops cannot hold the caller for long.
constexpr ULONG kBusyPollLimit = 8;

// Where an attempt failed, and what that means for recovery and retry.
enum class Failure { Dnload, FirstStatus, Firmware, Unexpected, SecondStatus, PollStatus, Exhausted };

enum class Recovery { None, StateCheck, ClearStatus };
enum class ResendPreparation { Abort, AbortThenStatus, SetIdleThenStatus };

struct FailureRule {
    bool checkDeviceGone;  // a vanished device ends the command at once
    Recovery recovery;
    NTSTATUS exhaustion;   // result once every attempt failed this way
    ResendPreparation resend;
};

constexpr FailureRule RuleFor(Failure failure) {
    switch (failure) {
        case Failure::Dnload:
            return {true, Recovery::StateCheck, STATUS_UNSUCCESSFUL, ResendPreparation::Abort};
        case Failure::FirstStatus:
            return {true, Recovery::StateCheck, STATUS_UNSUCCESSFUL,
                    ResendPreparation::AbortThenStatus};
        case Failure::Firmware:
            return {false, Recovery::ClearStatus, STATUS_IO_TIMEOUT,
                    ResendPreparation::AbortThenStatus};
        case Failure::Unexpected:
            return {false, Recovery::StateCheck, STATUS_UNSUCCESSFUL,
                    ResendPreparation::AbortThenStatus};
        case Failure::SecondStatus:
            return {false, Recovery::StateCheck, STATUS_IO_TIMEOUT,
                    ResendPreparation::AbortThenStatus};
        case Failure::PollStatus:
            return {false, Recovery::StateCheck, STATUS_IO_TIMEOUT,
                    ResendPreparation::SetIdleThenStatus};
        case Failure::Exhausted:
            break;
    }
    return {false, Recovery::None, STATUS_IO_TIMEOUT, ResendPreparation::SetIdleThenStatus};
}

bool IsDone(const DfuStatusReply& reply) {
    return reply.bStatus() == DFU_STATUS_OK && reply.bState() == dfuDNLOAD_IDLE;
}

bool IsBusy(const DfuStatusReply& reply) {
    return reply.bStatus() == DFU_STATUS_OK && reply.bState() == dfuDNBUSY;
}

void WaitPollTimeout(PFDO_DATA fdo, ULONG pollTimeoutMs) {
    if (pollTimeoutMs == 0 || fdo->STMBootloaderCommandNoPollWait != 0) {
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = RelativeMilliseconds(pollTimeoutMs);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS ClearedStatus(WDFDEVICE device, DfuStatusReply* reply, PULONG pollTimeoutMs) {
    reply->clear();
    if (pollTimeoutMs != nullptr) {
        *pollTimeoutMs = 0;
    }
    return DfuGetStatus(device, reply, pollTimeoutMs);
}

// Outcome of one attempt: done (with the status to return) or a failure to recover from.
struct Attempt {
    bool done;
    NTSTATUS status;  // of the failed request, or the result when done
    Failure failure;
};

Attempt RunAttempt(WDFDEVICE device, PFDO_DATA fdo, const UCHAR* command, ULONG length) {
    NTSTATUS status = DfuDnload(device, command, length, 0);
    if (!NT_SUCCESS(status)) {
        return {false, status, Failure::Dnload};
    }
    DfuStatusReply reply;
    ULONG pollTimeout = 0;
    status = ClearedStatus(device, &reply, &pollTimeout);
    if (!NT_SUCCESS(status)) {
        return {false, status, Failure::FirstStatus};
    }
    if (reply.bStatus() == DFU_STATUS_errFIRMWARE) {
        return {false, status, Failure::Firmware};
    }
    if (!IsBusy(reply)) {
        return {false, status, Failure::Unexpected};
    }
    WaitPollTimeout(fdo, pollTimeout);

    reply.clear();
    status = DfuGetStatus(device, &reply, &pollTimeout);
    if (!NT_SUCCESS(status)) {
        return {false, status, Failure::SecondStatus};
    }
    if (IsDone(reply)) {
        return {true, status, Failure::Exhausted};
    }

    // Without polls (a count of 0, or one of 0x80000000 and above read as negative) the second
    // answer is the last: anything but done is the command's failure, never its success.
    const LONG polls = static_cast<LONG>(fdo->NumDfuBootIterBusyWaits);
    NTSTATUS pending = IsBusy(reply) ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL;
    for (LONG poll = 0; poll < polls; ++poll) {
        NTSTATUS pollStatus = ClearedStatus(device, &reply, &pollTimeout);
        if (!NT_SUCCESS(pollStatus)) {
            return {false, pollStatus, Failure::PollStatus};
        }
        if (IsDone(reply)) {
            return {true, pollStatus, Failure::Exhausted};
        }
        if (reply.bState() == dfuERROR) {
            pending = STATUS_UNSUCCESSFUL;
            break;
        }
        pending = IsBusy(reply) ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL;
        WaitPollTimeout(fdo, pollTimeout);
    }
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "command 0x%02x not done after %d polls: 0x%x",
                command[0], polls, static_cast<unsigned>(pending));
    return {false, pending, Failure::Exhausted};
}

// Brings the device out of an error after a failed attempt. Returns a status that must end
// the command (the device is gone), or STATUS_SUCCESS to go on.
NTSTATUS Recover(WDFDEVICE device, const FailureRule& rule, NTSTATUS failedStatus) {
    if (rule.checkDeviceGone && failedStatus == STATUS_NO_SUCH_DEVICE) {
        return failedStatus;
    }
    if (rule.recovery == Recovery::ClearStatus) {
        DfuClrStatus(device);
    } else if (rule.recovery == Recovery::StateCheck) {
        UCHAR state = 0;
        NTSTATUS status = DfuGetState(device, &state);
        if (NT_SUCCESS(status)) {
            if (state == dfuERROR) {
                DfuClrStatus(device);
            }
        } else if (rule.checkDeviceGone && status == STATUS_NO_SUCH_DEVICE) {
            return status;
        } else {
            DfuAbort(device);
        }
    }
    return STATUS_SUCCESS;
}

void PrepareResend(WDFDEVICE device, ResendPreparation preparation) {
    if (preparation == ResendPreparation::SetIdleThenStatus) {
        DfuSetIdle(device);
    } else {
        DfuAbort(device);
    }
    if (preparation != ResendPreparation::Abort) {
        DfuStatusReply reply;
        ClearedStatus(device, &reply, nullptr);
    }
}

}  // namespace

NTSTATUS ST32DfuSendBootloaderCommand(WDFDEVICE device, const UCHAR* command, ULONG length) {
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->ReadProtectState != 0) {
        return ST32DfuSendBootloaderCommandReadProtectedMode(device, command, length);
    }
    if (length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG attemptsLeft = kAttemptsPerCommand;;) {
        Attempt attempt = RunAttempt(device, fdo, command, length);
        if (attempt.done) {
            return attempt.status;
        }
        const FailureRule rule = RuleFor(attempt.failure);
        NTSTATUS fatal = Recover(device, rule, attempt.status);
        if (!NT_SUCCESS(fatal)) {
            return fatal;
        }
        if (--attemptsLeft == 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DFU, "command 0x%02x failed: 0x%x", command[0],
                        static_cast<unsigned>(rule.exhaustion));
            return rule.exhaustion;
        }
        PrepareResend(device, rule.resend);
    }
}

NTSTATUS DfuWaitWhileBusy(WDFDEVICE device) {
    PFDO_DATA fdo = FdoGetData(device);
    DfuStatusReply reply;
    ULONG pollTimeout = 0;
    for (ULONG poll = 0; poll < kBusyPollLimit; ++poll) {
        NTSTATUS status = ClearedStatus(device, &reply, &pollTimeout);
        if (!NT_SUCCESS(status) || !IsBusy(reply)) {
            return status;
        }
        WaitPollTimeout(fdo, pollTimeout);
    }
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "still busy after %u polls", kBusyPollLimit);
    return STATUS_IO_TIMEOUT;
}

NTSTATUS ST32DfuSendBootloaderCommandReadProtectedMode(WDFDEVICE device, const UCHAR* command,
                                                       ULONG length) {
    if (length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG clearBudget = kReadProtectedClearBudget;
    for (ULONG attemptsLeft = kAttemptsPerCommand; attemptsLeft > 0; --attemptsLeft) {
        if (!NT_SUCCESS(DfuDnload(device, command, length, 0))) {
            DfuSetIdle(device);
            continue;
        }
        DfuStatusReply reply;
        ClearedStatus(device, &reply, nullptr);
        if (reply.bState() == dfuIDLE) {
            return STATUS_SUCCESS;
        }
        while (clearBudget > 0) {
            --clearBudget;
            DfuClrStatus(device);
            ClearedStatus(device, &reply, nullptr);
            if (reply.bState() == dfuIDLE) {
                return STATUS_SUCCESS;
            }
        }
        DfuSetIdle(device);
    }
    return STATUS_IO_TIMEOUT;
}
