#include "sim/dfu_types.h"

#include <array>

namespace sim {

namespace {

constexpr std::array<std::string_view, 11> kStateNames = {
    "appIDLE",     "appDETACH", "dfuIDLE",          "dfuDNLOAD-SYNC",  "dfuDNBUSY", "dfuDNLOAD-IDLE",
    "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE", "dfuERROR"};

constexpr std::array<std::string_view, 16> kStatusNames = {
    "OK",         "errTARGET", "errFILE",   "errWRITE", "errERASE", "errCHECK_ERASED", "errPROG",    "errVERIFY",
    "errADDRESS", "errNOTDONE", "errFIRMWARE", "errVENDOR", "errUSBR", "errPOR",         "errUNKNOWN", "errSTALLEDPKT"};

}  // namespace

std::string_view stateName(DfuState state) {
    const auto index = static_cast<std::size_t>(state);
    return index < kStateNames.size() ? kStateNames[index] : "unknown";
}

std::string_view statusName(DfuStatus status) {
    const auto index = static_cast<std::size_t>(status);
    return index < kStatusNames.size() ? kStatusNames[index] : "unknown";
}

}  // namespace sim
