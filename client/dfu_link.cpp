#include "client/dfu_link.h"

#include <cstdio>

namespace client {

namespace {

enum : std::uint8_t {
    DFU_DNLOAD = 1,
    DFU_UPLOAD = 2,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
    DFU_ABORT = 6,
};

// GETSTATUS answers at once, but a ROM that is still working serves it only when its work ends;
// the longest work (a 128 KiB sector erase) stays well inside the pass-through's own limit.
constexpr ULONG kTransferTimeoutMs = 5000;
// A device that keeps saying dfuDNBUSY with a zero poll time-out must not hold us for ever.
constexpr unsigned kMaxBusyPolls = 1000;

ControlRequestRecord classRequest(std::uint8_t request, std::uint16_t value, std::uint8_t interface) {
    ControlRequestRecord record{};
    record.IsClassRequest = 1;
    record.Recipient = 1;
    record.Request = request;
    record.Value = value;
    record.Index = interface;
    record.TimeoutMs = kTransferTimeoutMs;
    return record;
}

std::vector<std::uint8_t> commandBytes(std::uint8_t command, std::uint32_t address) {
    return {command, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
}

}  // namespace

bool StepResult::recoverable() const {
    return transfer == STATUS_UNSUCCESSFUL || transfer == STATUS_IO_TIMEOUT ||
           (NT_SUCCESS(transfer) && dfuStatus != 0);
}

std::string StepResult::describe() const {
    char text[80];
    if (!NT_SUCCESS(transfer)) {
        const char* what = transfer == STATUS_UNSUCCESSFUL ? "stalled"
                           : transfer == STATUS_IO_TIMEOUT ? "timed out"
                           : transfer == STATUS_NO_SUCH_DEVICE ? "device gone"
                                                               : "failed";
        std::snprintf(text, sizeof(text), "%s (status 0x%08x)", what, static_cast<unsigned>(transfer));
    } else {
        std::snprintf(text, sizeof(text), "device reported dfuERROR, bStatus %u", dfuStatus);
    }
    return text;
}

StepResult DfuLink::classOut(std::uint8_t request, std::uint16_t value, std::span<const std::uint8_t> data) {
    return {ControlRequestOut(handle_, classRequest(request, value, interface_), data).status, 0};
}

StepResult DfuLink::getStatus(DfuStatusReply& reply) {
    const BytesReply answer = ControlRequestIn(handle_, classRequest(DFU_GETSTATUS, 0, interface_), 6);
    if (!NT_SUCCESS(answer.status)) return {answer.status, 0};
    if (answer.bytes.size() < 6) return {STATUS_UNSUCCESSFUL, 0};
    const auto& b = answer.bytes;
    reply.status = b[0];
    reply.pollTimeoutMs = b[1] | b[2] << 8 | b[3] << 16;
    reply.state = static_cast<DfuState>(b[4]);
    return {};
}

StepResult DfuLink::clearStatus() { return classOut(DFU_CLRSTATUS, 0, {}); }
StepResult DfuLink::abort() { return classOut(DFU_ABORT, 0, {}); }

StepResult DfuLink::waitWhileBusy() {
    for (unsigned poll = 0; poll < kMaxBusyPolls; ++poll) {
        DfuStatusReply reply;
        const StepResult got = getStatus(reply);
        if (!got.ok()) return got;
        switch (reply.state) {
            case DfuState::DnBusy:
            case DfuState::DnloadSync:
                host::user::sleepMilliseconds(reply.pollTimeoutMs);
                continue;
            case DfuState::Error:
                return {STATUS_SUCCESS, reply.status != 0 ? reply.status : std::uint8_t{0x0E}};
            default:
                return {};
        }
    }
    return {STATUS_IO_TIMEOUT, 0};
}

StepResult DfuLink::download(std::uint16_t block, std::span<const std::uint8_t> data) {
    const StepResult sent = classOut(DFU_DNLOAD, block, data);
    if (!sent.ok()) return sent;
    return waitWhileBusy();
}

StepResult DfuLink::upload(std::uint16_t block, std::size_t length, std::vector<std::uint8_t>& bytes) {
    BytesReply answer = ControlRequestIn(handle_, classRequest(DFU_UPLOAD, block, interface_), length);
    if (!NT_SUCCESS(answer.status)) return {answer.status, 0};
    bytes = std::move(answer.bytes);
    return {};
}

StepResult DfuLink::setAddressPointer(std::uint32_t address) { return download(0, commandBytes(0x21, address)); }
StepResult DfuLink::erasePage(std::uint32_t address) { return download(0, commandBytes(0x41, address)); }

void DfuLink::recover() {
    DfuStatusReply reply;
    if (getStatus(reply).ok() && reply.state == DfuState::Error) {
        clearStatus();
    } else {
        abort();
    }
}

}  // namespace client
