// Scripting the DFU function of a scripted device end: answers in the order a test lists them.
#pragma once

#include <vector>

#include "dfu/dfu_protocol.h"
#include "tests/support/scripted_device_end.h"

namespace ostdfu_test {

inline constexpr std::uint8_t kClassOut = 0x21;
inline constexpr std::uint8_t kClassIn = 0xA1;

inline Bytes statusReply(UCHAR bStatus, ULONG pollMs, UCHAR bState) {
    return {bStatus, static_cast<UCHAR>(pollMs), static_cast<UCHAR>(pollMs >> 8),
            static_cast<UCHAR>(pollMs >> 16), bState, 0};
}

// One answer to the next GETSTATUS, or a stall of it.
struct StatusAnswer {
    bool stall = false;
    Bytes reply;
};
inline StatusAnswer answer(UCHAR bStatus, ULONG pollMs, UCHAR bState) {
    return {false, statusReply(bStatus, pollMs, bState)};
}
inline StatusAnswer stalled() { return {true, {}}; }

// GETSTATUS answers in order; once they run out, `then` for every further one.
inline void scriptStatuses(ScriptedDeviceEnd& end, const std::vector<StatusAnswer>& answers,
                           StatusAnswer then) {
    for (const StatusAnswer& a : answers) {
        end.script(requestMatcher(kClassIn, DFU_GETSTATUS),
                   a.stall ? ScriptedReply::stall() : ScriptedReply::answer(a.reply), 1);
    }
    end.script(requestMatcher(kClassIn, DFU_GETSTATUS),
               then.stall ? ScriptedReply::stall() : ScriptedReply::answer(then.reply), -1);
}

inline void acceptAlways(ScriptedDeviceEnd& end, UCHAR request) {
    end.script(requestMatcher(kClassOut, request), ScriptedReply::accept(), -1);
}

inline void stateAlways(ScriptedDeviceEnd& end, UCHAR state) {
    end.script(requestMatcher(kClassIn, DFU_GETSTATE), ScriptedReply::answer({state}), -1);
}

}  // namespace ostdfu_test
