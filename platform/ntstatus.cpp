#include "platform/ntstatus.h"

const char* NtStatusName(NTSTATUS status) {
#define OSTDFU_STATUS_NAME(name, value) \
    if (status == name) return #name;
    OSTDFU_NTSTATUS_LIST(OSTDFU_STATUS_NAME)
#undef OSTDFU_STATUS_NAME
    return nullptr;
}
