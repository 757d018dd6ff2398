// The caller's part of an input, shared by the targets that send control codes: up to
// kMaxCallerRequests requests, each a code selector (below 0xF0: one of the driver's codes;
// from 0xF0: a 32-bit code follows), a 16-bit input length (modulo 512) with that many bytes,
// and a 16-bit output length (modulo 4097). Every reply is checked against its buffers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "client/updater.h"
#include "fuzz/fuzz_support.h"

namespace ostdfu_fuzz {

inline constexpr int kMaxCallerRequests = 4;
inline constexpr std::size_t kMaxCallerInput = 512;
inline constexpr std::size_t kMaxCallerOutput = 4096;
// The poll code's iteration count is capped so that one input stays short.
inline constexpr ULONG kMaxPollIterations = 16;

inline ULONG pickCode(InputReader& input) {
    const std::uint8_t selector = input.u8();
    if (selector >= 0xF0) return input.u32();
    return IOCTL_NAMES[selector % std::size(IOCTL_NAMES)].code;
}

inline void sendCallerRequests(InputReader& input, const client::Handle& handle) {
    for (int i = 0; i < kMaxCallerRequests && !input.empty(); ++i) {
        const ULONG code = pickCode(input);
        std::vector<std::uint8_t> in = input.bytes(input.u16() % kMaxCallerInput);
        const std::size_t outputLength = input.u16() % (kMaxCallerOutput + 1);
        if (code == IOCTL_DFU_POLL_DEVICE && in.size() >= sizeof(ULONG)) {
            in[0] = static_cast<std::uint8_t>(in[0] % (kMaxPollIterations + 1));
            in[1] = in[2] = in[3] = 0;
        }
        const client::BytesReply reply = client::Ioctl(handle, code, in, outputLength);
        check(reply.bytes.size() <= outputLength, "more bytes back than the output holds");
        check(reply.information <= std::max(outputLength, in.size()),
              "information longer than the buffers");
    }
}

}  // namespace ostdfu_fuzz
