// What one bootloader looks like and how it behaves. The defaults describe an F4-like ROM
// (bootloader 22.00, four memory areas) that answers like the captures in the reference logs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/interface/device_end.h"
#include "sim/sparse_bytes.h"

namespace sim {

// What the bytes of a segment are; the kind decides how the DfuSe commands treat them.
enum class SegmentKind {
    Flash,          // erased to 0xFF by page and mass erase; programmed only over erased bytes
    OptionBytes,    // rewritten whole by a write, after which the device resets
    Otp,            // one-time programmable: bytes only go from erased to programmed
    DeviceFeature,  // plain storage, overwritten by a write
};

// One alternate setting of the DFU interface.
struct SegmentConfig {
    std::string layout;              // the interface string, e.g. "@Option Bytes  /0x1FFFC000/01*016 e"
    SegmentKind kind = SegmentKind::Flash;
    SparseBytes image;  // first bytes of the segment; the rest is erased (0xFF)
};

// A further interface of the configuration, beside the DFU one; no endpoints.
struct ExtraInterface {
    std::uint8_t interfaceClass = 0xFF;
    std::uint8_t interfaceSubClass = 0x00;
    std::uint8_t interfaceProtocol = 0x00;
    std::string name;        // interface string; empty gives iInterface 0
    bool beforeDfu = false;  // placed (and numbered) before the DFU interface
};

struct FunctionalDescriptorConfig {
    std::uint8_t bmAttributes = 0x0B;  // will-detach, upload, download; not manifestation-tolerant
    std::uint16_t wDetachTimeOut = 255;
    std::uint16_t wTransferSize = 2048;
    std::uint16_t bcdDFUVersion = 0x011A;
};

// pollTimeoutMs is what the busy GETSTATUS announces; busyMs is how long the work really takes.
// The real time is only honoured with Quirks::pollTimeoutShorterThanBusy; otherwise the ROM keeps
// its word and is done when the announced time has passed.
struct OperationTiming {
    std::uint32_t pollTimeoutMs = 0;
    std::uint32_t busyMs = 0;
};

// Announced times as seen on an F4 ROM (page erase 100 ms, 2048-byte write 104 ms, leave 104 ms);
// the real times are flash figures of the same family (a 1 MiB mass erase takes seconds).
struct Timings {
    OperationTiming setAddress{0, 0};
    OperationTiming pageErase{100, 400};
    OperationTiming massErase{100, 8000};
    OperationTiming write{104, 104};
    OperationTiming leave{104, 104};
    OperationTiming optionByteWrite{100, 100};
    OperationTiming readUnprotect{100, 8000};
};

// Misbehaviour recorded on real ROMs, off by default.
struct Quirks {
    // The first GETSTATUS after power-up answers dfuERROR / errFIRMWARE (the F4 capture).
    bool firstStatusFirmwareError = false;
    // A GETSTATUS that arrives while an erase or write is still running is stalled at once
    // (the work goes on) rather than held until the work is done.
    bool stallStatusWhileBusy = false;
    // The announced poll time-out is shorter than the work: GETSTATUS answers dfuDNBUSY until
    // Timings::*.busyMs has passed.
    bool pollTimeoutShorterThanBusy = false;
    // After leave, the device answers one more GETSTATUS in dfuMANIFEST before it goes.
    bool stayInManifest = false;
    // After leave, the device drops off the bus instead of answering the dfuMANIFEST status.
    bool disconnectBeforeLeaveStatus = false;
    // This many further GETSTATUS answers say dfuDNBUSY after every operation has finished.
    std::uint32_t extraBusyReplies = 0;
    // The device answers while it works: GETSTATUS says dfuDNBUSY at once with the announced
    // poll time-out, GETSTATE says dfuDNBUSY, the other requests are stalled, and the work ends
    // on the clock. ST's stack instead does the work inside the completion of the busy status and
    // holds every request that arrives meanwhile until it is done.
    bool answersWhileBusy = false;
    // DFU 1.1's table: ABORT only in dfuIDLE, dfuDNLOAD-IDLE and dfuUPLOAD-IDLE, stalled
    // elsewhere (dfuERROR included). ST's stack acknowledges it in every state.
    bool strictAbort = false;
    // DFU 1.1's table: CLRSTATUS outside dfuERROR is stalled and enters dfuERROR with
    // errSTALLEDPKT. ST's stack acknowledges it and enters dfuERROR with errUNKNOWN.
    bool strictClrStatus = false;
};

struct BootloaderConfig {
    // Device descriptor.
    std::uint16_t bcdUSB = 0x0100;  // the ROMs claim USB 1.0 although they run at full speed
    std::uint16_t idVendor = 0x0483;
    std::uint16_t idProduct = 0xDF11;
    std::uint16_t bcdDevice = 0x2200;
    std::uint8_t bMaxPacketSize0 = 64;
    std::uint8_t iManufacturer = 1;
    std::uint8_t iProduct = 2;
    std::uint8_t iSerialNumber = 3;  // reported as 0 when serial is empty

    // Strings (index 0 is the language list, 0x0409).
    std::string manufacturer = "STMicroelectronics";
    std::string product = "STM32  BOOTLOADER";
    std::optional<std::string> serial = std::string("315A28A0B956");

    // Configuration descriptor.
    std::uint8_t configurationAttributes = 0xC0;  // self-powered
    std::uint8_t maxPower = 50;                   // 100 mA, in 2 mA units
    std::uint16_t deviceStatus = 0x0001;          // GET_STATUS(device): self-powered

    host::UsbSpeed speed = host::UsbSpeed::Full;
    // A USB 2.0 high-speed device answers GET_DESCRIPTOR(device qualifier); the ROMs stall it.
    bool answersDeviceQualifier = false;

    std::vector<SegmentConfig> segments = defaultSegments();  // one per alternate setting
    std::vector<ExtraInterface> extraInterfaces;
    FunctionalDescriptorConfig functional;

    // The Get-commands answer (UPLOAD block 0); a command byte missing here is unknown.
    std::vector<std::uint8_t> getCommands = {0x00, 0x21, 0x41, 0x92};
    bool readProtected = false;
    std::uint32_t initialAddressPointer = 0x08000000;

    Timings timings;
    Quirks quirks;

    static std::vector<SegmentConfig> defaultSegments();
};

// Cap on the memory one model may hold, so that a scenario cannot ask for gigabytes.
inline constexpr std::uint64_t kMaxModelMemoryBytes = 64ull * 1024 * 1024;

}  // namespace sim
