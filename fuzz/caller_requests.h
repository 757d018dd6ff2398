// The caller's part of an input, shared by the targets that send control codes: up to
// kMaxCallerRequests requests, each a code selector (below 0xF0: one of the driver's codes;
// from 0xF0: a 32-bit code follows), a 16-bit input length (modulo 512) with that many bytes,
// and a 16-bit output length (modulo 4097). Every reply is checked against its buffers.
//
// Whether the driver reports bytes it never wrote is told by filling what it may write (the
// system buffer behind the input, and the caller's own output buffer) with one value, and,
// where a reply holds that value, running the whole input again with another: a reported byte
// that follows the fill from one run to the next was not written. Inputs run alike twice, as
// the machine's clock is virtual, so a byte the driver did write comes back the same.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "client/updater.h"
#include "fuzz/fuzz_support.h"
#include "host/machine.h"
#include "tests/support/arrival_harness.h"

namespace ostdfu_fuzz {

inline constexpr int kMaxCallerRequests = 4;
inline constexpr std::size_t kMaxCallerInput = 512;
inline constexpr std::size_t kMaxCallerOutput = 4096;
// The poll code's iteration count is capped so that one input stays short.
inline constexpr ULONG kMaxPollIterations = 16;
inline constexpr std::uint8_t kFirstFill = 0xA5;
inline constexpr std::uint8_t kSecondFill = 0x5A;

using CallerReplies = std::vector<client::BytesReply>;

inline ULONG pickCode(InputReader& input) {
    const std::uint8_t selector = input.u8();
    if (selector >= 0xF0) return input.u32();
    return IOCTL_NAMES[selector % std::size(IOCTL_NAMES)].code;
}

// The output buffer of an in-direct code is data the caller sends: it stays zeros, as the
// caller's bytes are not the driver's to have written.
inline bool outputIsCallerData(ULONG code) { return (code & 3) == METHOD_IN_DIRECT; }

inline CallerReplies sendCallerRequests(InputReader& input, const client::Handle& handle,
                                        std::uint8_t fill) {
    host::Machine::current().io().setSystemBufferFill(fill);
    CallerReplies replies;
    for (int i = 0; i < kMaxCallerRequests && !input.empty(); ++i) {
        const ULONG code = pickCode(input);
        std::vector<std::uint8_t> in = input.bytes(input.u16() % kMaxCallerInput);
        const std::size_t outputLength = input.u16() % (kMaxCallerOutput + 1);
        if (code == IOCTL_DFU_POLL_DEVICE && in.size() >= sizeof(ULONG)) {
            in[0] = static_cast<std::uint8_t>(in[0] % (kMaxPollIterations + 1));
            in[1] = in[2] = in[3] = 0;
        }
        const std::uint8_t outputFill = outputIsCallerData(code) ? 0 : fill;
        client::BytesReply reply = client::IoctlWithOutputBuffer(
            handle, code, in, std::vector<std::uint8_t>(outputLength, outputFill));
        check(reply.bytes.size() <= outputLength, "more bytes back than the output holds");
        check(reply.information <= std::max(outputLength, in.size()),
              "information longer than the buffers");
        // Bytes that are not the driver's are left out: in-direct data, and the untouched
        // caller buffer behind an error status (the system copies nothing back then).
        const bool isError = (static_cast<ULONG>(reply.status) >> 30) == 3;
        if (outputIsCallerData(code) || isError) reply.bytes.clear();
        replies.push_back(std::move(reply));
    }
    return replies;
}

// The caller's part on a device that arrived (pnp not null), then the end of every input: the
// handle closes, the device, if still there, is removed in order, the driver unloads and the
// pool is empty.
inline CallerReplies callThenTearDown(InputReader& input, ostdfu_test::ArrivalHarness& h,
                                      host::PnpDevice* pnp, std::uint8_t fill) {
    CallerReplies replies;
    if (pnp != nullptr) {
        auto opened = client::open();
        if (NT_SUCCESS(opened.status)) {
            replies = sendCallerRequests(input, opened.handle, fill);
            opened.handle.close();
        }
        if (pnp->device() != nullptr) h.machine().pnp().removeDevice(*pnp);
    }
    check(h.driver().unloadDriver(), "the driver did not unload");
    checkPoolEmpty(h.machine());
    return replies;
}

// Two fill bytes in a row, not one, call for the second run: device data (option bytes,
// descriptors) holds single 0xA5 bytes often enough to double the cost of an input, while a
// reply that reports unwritten bytes almost always leaves a run of them (a string slot's tail,
// a structure's padding).
inline bool holdsFill(const CallerReplies& replies, std::uint8_t fill) {
    return std::any_of(replies.begin(), replies.end(), [fill](const client::BytesReply& reply) {
        return std::search_n(reply.bytes.begin(), reply.bytes.end(), 2, fill) != reply.bytes.end();
    });
}

// run(fill) runs the whole input with that fill and returns the caller's replies.
template <typename Run>
void checkOnlyWrittenBytesReported(Run&& run) {
    const CallerReplies first = run(kFirstFill);
    if (!holdsFill(first, kFirstFill)) return;
    const CallerReplies second = run(kSecondFill);
    for (std::size_t i = 0; i < std::min(first.size(), second.size()); ++i) {
        const client::BytesReply& a = first[i];
        const client::BytesReply& b = second[i];
        // A reply that went another way the second time says nothing about unwritten bytes.
        if (a.status != b.status || a.information != b.information ||
            a.bytes.size() != b.bytes.size()) {
            continue;
        }
        for (std::size_t j = 0; j < a.bytes.size(); ++j) {
            if (a.bytes[j] == kFirstFill && b.bytes[j] == kSecondFill) {
                std::fprintf(stderr, "request %zu: byte %zu of %zu reported, never written\n", i, j,
                             a.bytes.size());
                fail("information counts a byte the driver did not write");
            }
        }
    }
}

}  // namespace ostdfu_fuzz
