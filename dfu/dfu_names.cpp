#include <array>

#include "dfu/dfu_requests.h"

namespace {

constexpr std::array<const char*, 11> kStateNames = {
    "appIDLE",        "appDETACH",        "dfuIDLE",        "dfuDNLOAD_SYNC",
    "dfuDNBUSY",      "dfuDNLOAD_IDLE",   "dfuMANIFEST_SYNC", "dfuMANIFEST",
    "dfuMANIFEST_WAIT_RESET", "dfuUPLOAD_IDLE", "dfuERROR",
};

constexpr std::array<const char*, 16> kStatusNames = {
    "dfu_OK",    "errTARGET", "errFILE",   "errWRITE",   "errERASE",   "errCHECK_ERASED",
    "errPROG",   "errVERIFY", "errADDRESS", "errNOTDONE", "errFIRMWARE", "errVENDOR",
    "errUSBR",   "errPOR",    "errUNKNOWN", "errSTALLEDPKT",
};

}  // namespace

const char* DfuStateName(UCHAR state) {
    return state < kStateNames.size() ? kStateNames[state] : "unknown";
}

const char* DfuStatusName(UCHAR status) {
    return status < kStatusNames.size() ? kStatusNames[status] : "unknown";
}
