#include "client/flash_run.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "client/dfu_link.h"

namespace client {

namespace {

// Resends after a recovery. Real ROMs stall a GETSTATUS now and then during an erase or write;
// more than this in a row is a device that will not do it.
constexpr int kRetries = 3;
// Polls after leave before we take the device for one that stays.
constexpr int kLeavePolls = 20;
// What a blank flash or OTP byte reads.
constexpr std::uint8_t kErasedByte = 0xFF;

std::string hex32(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

// The DfuSe address pointer of a run of blocks: block n lands at pointer + (n - 2) x
// wTransferSize, the last one too however short it is.
struct Pointer {
    std::uint32_t address;
    bool isSet = false;

    // UPLOAD is taken in dfuIDLE only, and the command leaves dfuDNLOAD-IDLE; a read's earlier
    // stretch leaves dfuUPLOAD-IDLE, where the command is refused. A read aborts before and after.
    StepResult set(DfuLink& link, bool forUpload) {
        if (isSet) return {};
        StepResult result = forUpload ? link.abort() : StepResult{};
        if (result.ok()) result = link.setAddressPointer(address);
        if (result.ok() && forUpload) result = link.abort();
        isSet = result.ok();
        return result;
    }
};

// One run of work on one device: the link, the outcome so far and the progress of the phase.
class Worker {
public:
    Worker(const Handle& handle, const DeviceFacts& device, const RunControl& control)
        : handle_(handle), link_(handle, device.interfaceNumber, device.transferSize), control_(control) {}

    RunOutcome& outcome() { return outcome_; }

    void startPhase(Phase phase, std::uint64_t total) {
        outcome_.phase = phase;
        done_ = 0;
        total_ = total;
        report();
    }
    void advance(std::uint64_t bytes) {
        done_ += bytes;
        report();
    }
    bool stopRequested() {
        if (!control_.stop.stop_requested()) return false;
        link_.abort();
        outcome_.cancelled = true;
        outcome_.message = std::string("cancelled during ") + phaseName(outcome_.phase) + progressText();
        return true;
    }
    // The session on the area, its state machine in dfuIDLE.
    bool select(std::uint8_t alternateSetting) {
        NTSTATUS status = BeginDfu(handle_, alternateSetting).status;
        if (NT_SUCCESS(status)) status = SetIdle(handle_).status;
        if (NT_SUCCESS(status)) return true;
        return fail({status, 0}, "selecting alternate setting " + std::to_string(alternateSetting));
    }

    // `send(block number, offset, count)` for each wTransferSize block of [address, address +
    // length), block numbers from 2 after an address pointer, and a pointer again wherever the
    // 16-bit block number would run out. A block that failed is resent after the pointer is set
    // again, so that it lands where it belongs whatever the device did with the failed one.
    template <class Send>
    bool forEachBlock(std::uint32_t address, std::size_t length, bool forUpload, const char* doing, Send&& send) {
        const std::size_t block = link_.transferSize();
        const std::size_t stretch = bytesPerPointer(link_.transferSize());
        for (std::size_t start = 0; start < length; start += stretch) {
            Pointer pointer{address + static_cast<std::uint32_t>(start)};
            for (std::size_t at = start; at < std::min(length, start + stretch); at += block) {
                if (stopRequested()) return false;
                const auto count = std::min(block, length - at);
                const auto number = static_cast<std::uint16_t>(2 + (at - start) / block);
                const StepResult result = withRetries([&] {
                    StepResult sent = pointer.set(link_, forUpload);
                    if (sent.ok()) sent = send(number, at, count);
                    if (!sent.ok()) pointer.isSet = false;
                    return sent;
                });
                if (!result.ok()) return fail(result, doing + hex32(address + at));
                advance(count);
            }
        }
        return true;
    }

    template <class Step>
    StepResult withRetries(Step&& step) {
        StepResult result;
        for (int attempt = 0; attempt <= kRetries; ++attempt) {
            result = step();
            if (result.ok() || !result.recoverable()) break;
            link_.recover();
        }
        return result;
    }

    bool erase(const PlannedErase& page) {
        const StepResult result = withRetries([&] { return link_.erasePage(page.address); });
        if (!result.ok()) return fail(result, "erasing the page at " + hex32(page.address));
        outcome_.erasedBytes += page.size;
        advance(page.size);
        return true;
    }

    bool write(const ImageElement& element) {
        return forEachBlock(element.address, element.data.size(), false, "writing ",
                            [&](std::uint16_t number, std::size_t at, std::size_t count) {
                                const StepResult sent = link_.download(number, {element.data.data() + at, count});
                                if (sent.ok()) outcome_.writtenBytes += count;
                                return sent;
                            });
    }

    // Reads into `bytes` (appended); the device is back in dfuIDLE afterwards.
    bool read(std::uint32_t address, std::size_t length, std::vector<std::uint8_t>& bytes) {
        const bool done = forEachBlock(address, length, true, "reading ",
                                       [&](std::uint16_t number, std::size_t, std::size_t count) {
                                           std::vector<std::uint8_t> got;
                                           StepResult sent = link_.upload(number, count, got);
                                           // A short answer ends the upload: it is not the memory.
                                           if (sent.ok() && got.size() != count) sent = {STATUS_UNSUCCESSFUL, 0};
                                           if (sent.ok()) bytes.insert(bytes.end(), got.begin(), got.end());
                                           return sent;
                                       });
        if (done) link_.abort();
        return done;
    }

    bool fail(const StepResult& result, const std::string& what) {
        outcome_.status = result.transfer;
        outcome_.transient = !NT_SUCCESS(result.transfer);
        outcome_.message = std::string(phaseName(outcome_.phase)) + " failed " + what + ": " + result.describe() +
                           progressText();
        return false;
    }

private:
    void report() {
        if (control_.progress) control_.progress({outcome_.phase, done_, total_});
    }
    std::string progressText() const {
        return "; " + std::to_string(outcome_.erasedBytes) + " bytes erased, " +
               std::to_string(outcome_.writtenBytes) + " written, " + std::to_string(outcome_.verifiedBytes) +
               " verified";
    }

    const Handle& handle_;
    DfuLink link_;
    const RunControl& control_;
    RunOutcome outcome_;
    std::uint64_t done_ = 0;
    std::uint64_t total_ = 0;
};

std::uint64_t verifiable(const FlashPlan& plan, const DeviceFacts& device) {
    std::uint64_t total = 0;
    for (const ImageElement* write : plan.writes) {
        if (device.areaFor(write->alternateSetting)->kind != AreaKind::OptionBytes) total += write->data.size();
    }
    return total;
}

std::string byteText(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02x", value);
    return text;
}

// Reads one element back and compares it with the bytes that should be there.
bool compare(Worker& worker, const ImageElement& element) {
    std::vector<std::uint8_t> actual;
    if (!worker.read(element.address, element.data.size(), actual)) return false;
    const auto [differs, unused] = std::mismatch(element.data.begin(), element.data.end(), actual.begin(), actual.end());
    if (differs != element.data.end()) {
        const auto at = element.address + static_cast<std::uint32_t>(differs - element.data.begin());
        worker.outcome().message = "verify failed: memory differs from the image at " + hex32(at);
        return false;
    }
    worker.outcome().verifiedBytes += element.data.size();
    return true;
}

// One-time-programmable bytes take one value for good. Read before anything is erased, each
// byte the element writes must still be blank or hold the image's value already (a rerun after
// a failure writes it again); any other value refuses the whole flash while the device is as
// it was, since no rerun could finish it.
bool checkWriteOnce(Worker& worker, const ImageElement& element) {
    std::vector<std::uint8_t> held;
    if (!worker.read(element.address, element.data.size(), held)) return false;
    for (std::size_t i = 0; i < held.size(); ++i) {
        if (held[i] == kErasedByte || held[i] == element.data[i]) continue;
        worker.outcome().message = "the one-time-programmable byte at " +
                                   hex32(element.address + static_cast<std::uint32_t>(i)) + " holds " +
                                   byteText(held[i]) + ", and the image has " + byteText(element.data[i]) +
                                   " there; it cannot be changed, and nothing was erased or written";
        return false;
    }
    return true;
}

// The driver's own option-byte write: it allows the write for this device, and the device resets
// to load the new values, so it is the last thing a flash does.
bool writeOptionBytes(Worker& worker, const Handle& handle, const ImageElement& element) {
    NTSTATUS status = SetOptionByteWritesAllowed(handle, 1).status;
    if (NT_SUCCESS(status)) status = WriteOptionBytes(handle, element.data).status;
    if (!NT_SUCCESS(status)) return worker.fail({status, 0}, "writing the option bytes");
    worker.outcome().writtenBytes += element.data.size();
    worker.advance(element.data.size());
    return true;
}

}  // namespace

const char* phaseName(Phase phase) {
    switch (phase) {
        case Phase::Erase: return "erase";
        case Phase::Download: return "download";
        case Phase::Verify: return "verify";
        case Phase::Read: return "read";
        case Phase::Leave: return "leave";
    }
    return "?";
}

RunOutcome executeFlash(const Handle& handle, const DeviceFacts& device, const FlashPlan& plan, bool verify,
                        const RunControl& control) {
    Worker worker(handle, device, control);
    RunOutcome& outcome = worker.outcome();
    int selected = -1;
    const auto select = [&](std::uint8_t setting) {
        if (selected == setting) return true;
        selected = setting;
        return worker.select(setting);
    };

    const auto areaKind = [&](const ImageElement* element) { return device.areaFor(element->alternateSetting)->kind; };
    std::vector<const ImageElement*> writeOnce;
    std::copy_if(plan.writes.begin(), plan.writes.end(), std::back_inserter(writeOnce),
                 [&](const ImageElement* element) { return areaKind(element) == AreaKind::Otp; });
    if (!writeOnce.empty()) {
        std::uint64_t total = 0;
        for (const ImageElement* element : writeOnce) total += element->data.size();
        worker.startPhase(Phase::Read, total);
        for (const ImageElement* element : writeOnce) {
            if (!select(element->alternateSetting) || !checkWriteOnce(worker, *element)) return outcome;
        }
    }
    worker.startPhase(Phase::Erase, plan.eraseBytes());
    for (const PlannedErase& page : plan.erases) {
        if (worker.stopRequested() || !select(page.alternateSetting) || !worker.erase(page)) return outcome;
    }
    worker.startPhase(Phase::Download, plan.writeBytes());
    for (const ImageElement* element : plan.writes) {
        if (areaKind(element) != AreaKind::OptionBytes &&
            (!select(element->alternateSetting) || !worker.write(*element))) {
            return outcome;
        }
    }
    if (verify) {
        worker.startPhase(Phase::Verify, verifiable(plan, device));
        for (const ImageElement* element : plan.writes) {
            if (areaKind(element) == AreaKind::OptionBytes) continue;
            if (!select(element->alternateSetting) || !compare(worker, *element)) return outcome;
        }
    }
    const MemoryArea* flash = device.areaOf(AreaKind::Flash);
    if (selected >= 0 && selected != flash->alternateSetting && !select(flash->alternateSetting)) return outcome;
    // Last: the device resets to load them.
    for (const ImageElement* element : plan.writes) {
        if (areaKind(element) == AreaKind::OptionBytes && !writeOptionBytes(worker, handle, *element)) return outcome;
    }
    outcome.ok = true;
    outcome.message = std::to_string(outcome.erasedBytes) + " bytes erased, " + std::to_string(outcome.writtenBytes) +
                      " written" + (verify ? ", " + std::to_string(outcome.verifiedBytes) + " verified" : "");
    return outcome;
}

RunOutcome readMemory(const Handle& handle, const DeviceFacts& device, std::uint8_t alternateSetting,
                      std::uint32_t address, std::size_t length, std::vector<std::uint8_t>& bytes,
                      const RunControl& control) {
    Worker worker(handle, device, control);
    worker.startPhase(Phase::Read, length);
    if (worker.select(alternateSetting) && worker.read(address, length, bytes)) {
        worker.outcome().ok = true;
        worker.outcome().message = std::to_string(length) + " bytes read from " + hex32(address);
    }
    return worker.outcome();
}

RunOutcome verifyImage(const Handle& handle, const DeviceFacts& device, const FirmwareImage& image,
                       const RunControl& control) {
    Worker worker(handle, device, control);
    worker.startPhase(Phase::Verify, image.totalBytes());
    int selected = -1;
    for (const ImageElement& element : image.elements) {
        if (selected != element.alternateSetting) {
            selected = element.alternateSetting;
            if (!worker.select(element.alternateSetting)) return worker.outcome();
        }
        if (!compare(worker, element)) return worker.outcome();
    }
    worker.outcome().ok = true;
    worker.outcome().message = std::to_string(worker.outcome().verifiedBytes) + " bytes match the image";
    return worker.outcome();
}

RunOutcome leaveDfu(const Handle& handle, const DeviceFacts& device) {
    RunOutcome outcome;
    outcome.phase = Phase::Leave;
    DfuLink link(handle, device.interfaceNumber, device.transferSize);
    // The driver always reports success here; whether the device really left shows in the
    // status polls that follow.
    Leave(handle);
    for (int poll = 0; poll < kLeavePolls; ++poll) {
        DfuStatusReply reply;
        const StepResult got = link.getStatus(reply);
        if (!got.ok()) {
            outcome.ok = got.transfer != STATUS_UNSUCCESSFUL && got.transfer != STATUS_IO_TIMEOUT;
            outcome.status = got.transfer;
            outcome.message = outcome.ok ? "the device left DFU mode and the bus"
                                         : "the status poll after leave " + got.describe();
            return outcome;
        }
        if (reply.state != DfuState::Manifest && reply.state != DfuState::ManifestSync &&
            reply.state != DfuState::ManifestWaitReset) {
            outcome.message = std::string("the device stayed in DFU mode (state ") +
                              std::to_string(static_cast<int>(reply.state)) + ")";
            return outcome;
        }
        host::user::sleepMilliseconds(reply.pollTimeoutMs);
    }
    outcome.message = "the device stayed in dfuMANIFEST";
    return outcome;
}

}  // namespace client
