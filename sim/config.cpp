#include "sim/config.h"

namespace sim {

std::vector<SegmentConfig> BootloaderConfig::defaultSegments() {
    // The option-byte image follows the F4 arrangement (USER, RDP, then nWRP at offset 8) with
    // the factory values: no read protection (RDP 0xAA), no sector write-protected.
    SparseBytes optionBytes = {0xEF, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return {
        {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", SegmentKind::Flash, {}},
        {"@Option Bytes  /0x1FFFC000/01*016 e", SegmentKind::OptionBytes, std::move(optionBytes)},
        {"@OTP Memory /0x1FFF7800/01*512 e,01*016 e", SegmentKind::Otp, {}},
        {"@Device Feature/0xFFFF0000/01*004 e", SegmentKind::DeviceFeature, {}},
    };
}

}  // namespace sim
