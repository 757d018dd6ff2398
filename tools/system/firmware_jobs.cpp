#include "tools/system/firmware_jobs.h"

#include <cstdio>

#include "client/device_facts.h"
#include "client/firmware_image.h"

namespace dfuhost {

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kRefused = 2;

// How long a device may take to come back after a read unprotect: it erases the whole flash
// first, which takes half a minute on the largest parts, then enumerates again.
constexpr std::uint64_t kUnprotectReturnMicros = 60'000'000;

JobOutcome outcomeOf(int exitCode, std::string message) { return JobOutcome{exitCode, std::move(message), Json::object()}; }

// The device's facts on a fresh handle; a failed query is the device's failure.
std::optional<JobOutcome> readFacts(const client::Handle& handle, client::DeviceFacts& facts) {
    if (!handle.valid()) return outcomeOf(kFailed, "the device is not on the bus");
    client::FactsResult got = client::readDeviceFacts(handle);
    if (!NT_SUCCESS(got.status)) {
        return outcomeOf(kFailed, "reading the device's " + got.failure + " failed: " + statusName(got.status));
    }
    facts = std::move(got.facts);
    return std::nullopt;
}

void describeRun(JobOutcome& outcome, const client::RunOutcome& run) {
    outcome.details["phase"] = client::phaseName(run.phase);
    outcome.details["erased_bytes"] = run.erasedBytes;
    outcome.details["written_bytes"] = run.writtenBytes;
    outcome.details["verified_bytes"] = run.verifiedBytes;
    if (run.cancelled) outcome.details["cancelled"] = true;
}

// The area whose sectors hold every byte of [address, address + length), readable.
const client::MemoryArea* readableArea(const client::DeviceFacts& facts, std::uint32_t address, std::uint32_t length) {
    for (const client::MemoryArea& area : facts.areas) {
        std::uint64_t at = address;
        const std::uint64_t end = std::uint64_t{address} + length;
        while (at < end) {
            const client::Sector* sector = area.layout.sectorAt(static_cast<std::uint32_t>(at));
            if (sector == nullptr || (sector->access & client::kSectorReadable) == 0) break;
            at = sector->end();
        }
        if (at >= end) return &area;
    }
    return nullptr;
}

// "0x08000000..0x08003fff".
std::string rangeText(std::uint32_t address, std::uint64_t length) {
    char text[48];
    std::snprintf(text, sizeof(text), "0x%08x..0x%08llx", address,
                  static_cast<unsigned long long>(std::uint64_t{address} + length - 1));
    return text;
}

}  // namespace

JobOutcome runFlashJob(const FlashJob& job, const JobContext& context) {
    client::FirmwareImage image;
    client::DeviceFacts facts;
    client::FlashPlan plan;
    client::Handle handle = context.open();
    bool unprotected = false;
    try {
        image = client::loadImage(job.file, job.address);
        if (auto failed = readFacts(handle, facts)) return *failed;
        image = client::placeByAddress(std::move(image), facts);
        // The driver cannot identify a read-protected device: the product a file names is checked
        // once the unprotect has made the device readable, before any page is erased or written.
        client::PlanOptions beforeUnprotect = job.plan;
        beforeUnprotect.anyProduct |= facts.readProtected && !facts.productIdentified();
        plan = client::planFlash(image, facts, beforeUnprotect);
        if (plan.readUnprotect) {
            context.warn("removing read protection: this erases the whole flash");
            client::ReadUnprotect(handle);
            handle.close();
            unprotected = true;
            // The device erases its flash, resets and comes back unprotected, as a new arrival.
            handle = context.openAfterReturn(kUnprotectReturnMicros);
            if (!handle.valid()) {
                return outcomeOf(kFailed, "the device did not come back within " +
                                              std::to_string(kUnprotectReturnMicros / 1'000'000) +
                                              " s of the read unprotect");
            }
            if (auto failed = readFacts(handle, facts)) return *failed;
            if (facts.readProtected) return outcomeOf(kFailed, "the device is still read-protected after the unprotect");
            plan = client::planFlash(image, facts, job.plan);
        }
    } catch (const client::ImageError& e) {
        return outcomeOf(kRefused, e.what());
    } catch (const client::PlanRefusal& e) {
        if (!unprotected) return outcomeOf(kRefused, job.file.string() + ": " + e.what());
        // Not a refusal that left the device as it was: its flash is already erased.
        return outcomeOf(kFailed, job.file.string() + ": " + e.what() +
                                      "; the read protection was removed and the flash erased, nothing was written");
    }
    for (const std::string& warning : plan.warnings) context.warn(warning);

    const client::RunOutcome run = client::executeFlash(handle, facts, plan, job.verify, context.control);
    JobOutcome outcome = outcomeOf(run.ok ? kDone : kFailed, run.message);
    describeRun(outcome, run);
    outcome.details["erased_pages"] = plan.erases.size();
    if (run.ok && job.leave) {
        const client::RunOutcome left = client::leaveDfu(handle, facts);
        outcome.details["left"] = left.ok;
        outcome.message += "; " + left.message;
        if (!left.ok) outcome.exitCode = kFailed;
    } else if (!run.ok && run.transient) {
        outcome.message += "; running the same command again finishes the job";
    }
    return outcome;
}

JobOutcome runReadJob(const ReadJob& job, const JobContext& context) {
    client::DeviceFacts facts;
    const client::Handle handle = context.open();
    try {
        client::imageFormatOf(job.file);
    } catch (const client::ImageError& e) {
        return outcomeOf(kRefused, e.what());
    }
    if (job.length == 0) return outcomeOf(kRefused, "--length: nothing to read");
    if (auto failed = readFacts(handle, facts)) return *failed;
    const client::MemoryArea* area = readableArea(facts, job.address, job.length);
    if (area == nullptr) {
        return outcomeOf(kRefused, rangeText(job.address, job.length) + " is not readable memory of one area of this device");
    }
    if (facts.readProtected) return outcomeOf(kRefused, "the device is read-protected: its memory cannot be read");

    std::vector<std::uint8_t> bytes;
    const client::RunOutcome run =
        client::readMemory(handle, facts, area->alternateSetting, job.address, job.length, bytes, context.control);
    JobOutcome outcome = outcomeOf(run.ok ? kDone : kFailed, run.message);
    describeRun(outcome, run);
    if (!run.ok) return outcome;
    client::FirmwareImage image;
    image.elements.push_back({area->alternateSetting, job.address, std::move(bytes)});
    if (facts.productIdentified()) image.product = client::ImageProduct{facts.appVid, facts.appPid, 0xFFFF};
    try {
        client::saveImage(job.file, image);
    } catch (const client::ImageError& e) {
        return outcomeOf(kFailed, e.what());
    }
    outcome.message += " into " + job.file.string();
    return outcome;
}

JobOutcome runVerifyJob(const VerifyJob& job, const JobContext& context) {
    client::FirmwareImage image;
    client::DeviceFacts facts;
    const client::Handle handle = context.open();
    try {
        image = client::loadImage(job.file, job.address);
    } catch (const client::ImageError& e) {
        return outcomeOf(kRefused, e.what());
    }
    if (auto failed = readFacts(handle, facts)) return *failed;
    if (facts.readProtected) return outcomeOf(kRefused, "the device is read-protected: its memory cannot be read");
    image = client::placeByAddress(std::move(image), facts);
    for (const client::ImageElement& element : image.elements) {
        if (element.data.empty()) continue;
        const client::MemoryArea* area = readableArea(facts, element.address, static_cast<std::uint32_t>(element.data.size()));
        if (area == nullptr || area->alternateSetting != element.alternateSetting) {
            return outcomeOf(kRefused, job.file.string() + ": " + rangeText(element.address, element.data.size()) +
                                           " is not readable memory of its area on this device");
        }
    }
    const client::RunOutcome run = client::verifyImage(handle, facts, image, context.control);
    JobOutcome outcome = outcomeOf(run.ok ? kDone : kFailed, run.message);
    describeRun(outcome, run);
    return outcome;
}

}  // namespace dfuhost
