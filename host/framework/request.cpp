#include "host/framework/request.h"

#include <cstdio>
#include <cstdlib>

#include "host/framework/device.h"
#include "host/framework/queue.h"

namespace host::fx {

namespace {
enum : ULONG { kBuffered = 0, kInDirect = 1, kOutDirect = 2 };

NTSTATUS handOut(PVOID candidate, SIZE_T available, SIZE_T minimum, PVOID* buffer,
                 SIZE_T* length) {
    // A missing buffer is too small whatever the minimum: the driver must not get a null
    // pointer it was promised room behind.
    if (candidate == nullptr || available == 0 || available < minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = candidate;
    if (length != nullptr) {
        *length = available;
    }
    return STATUS_SUCCESS;
}
}  // namespace

FileObject::FileObject(Device& device, const WDF_OBJECT_ATTRIBUTES* attributes)
    : Object(&device, attributes), device_(device) {}

Request::Request(FileObject* file, Object* parent) : Object(parent, nullptr), file_(file) {}

Request::Request(FileObject* file, Device& device, const IoctlBuffers& buffers)
    : Object(nullptr, nullptr), file_(file), device_(&device), buffers_(buffers) {}

void Request::setResult(NTSTATUS status, ULONG_PTR information) {
    if (completed_.exchange(true)) {
        std::fprintf(stderr, "framework: request completed twice\n");
        std::abort();
    }
    status_ = status;
    information_ = information;
}

void Request::complete(NTSTATUS status, ULONG_PTR information) {
    if (device_ != nullptr) {
        device_->completeRequest(*this, status, information);
    } else {
        setResult(status, information);
    }
}

NTSTATUS Request::retrieveInputBuffer(SIZE_T minimum, PVOID* buffer, SIZE_T* length) const {
    if (buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *buffer = nullptr;
    if (length != nullptr) {
        *length = 0;
    }
    if (device_ == nullptr || buffers_.method > kOutDirect) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return handOut(buffers_.systemBuffer, buffers_.inputLength, minimum, buffer, length);
}

NTSTATUS Request::retrieveOutputBuffer(SIZE_T minimum, PVOID* buffer, SIZE_T* length) const {
    if (buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *buffer = nullptr;
    if (length != nullptr) {
        *length = 0;
    }
    if (device_ == nullptr || buffers_.method > kOutDirect) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (buffers_.method == kBuffered) {
        return handOut(buffers_.systemBuffer, buffers_.outputLength, minimum, buffer, length);
    }
    PMDL mdl = buffers_.mdl;
    return handOut(mdl == nullptr ? nullptr : MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority),
                   mdl == nullptr ? 0 : MmGetMdlByteCount(mdl), minimum, buffer, length);
}

}  // namespace host::fx

namespace {
host::fx::Request* requestAt(WDFREQUEST request) {
    auto* found = host::fx::Object::from<host::fx::Request>(request);
    if (found == nullptr) {
        std::fprintf(stderr, "framework: the handle is not a request\n");
        std::abort();
    }
    return found;
}
}  // namespace

NTSTATUS imp_WdfRequestRetrieveInputBuffer(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                           WDFREQUEST request, SIZE_T minimumRequiredSize,
                                           PVOID* buffer, SIZE_T* length) {
    return requestAt(request)->retrieveInputBuffer(minimumRequiredSize, buffer, length);
}

NTSTATUS imp_WdfRequestRetrieveOutputBuffer(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                            WDFREQUEST request, SIZE_T minimumRequiredSize,
                                            PVOID* buffer, SIZE_T* length) {
    return requestAt(request)->retrieveOutputBuffer(minimumRequiredSize, buffer, length);
}

void imp_WdfRequestComplete(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFREQUEST request,
                            NTSTATUS status) {
    requestAt(request)->complete(status, 0);
}

void imp_WdfRequestCompleteWithInformation(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                           WDFREQUEST request, NTSTATUS status,
                                           ULONG_PTR information) {
    requestAt(request)->complete(status, information);
}

NTSTATUS imp_WdfRequestForwardToIoQueue(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFREQUEST request,
                                        WDFQUEUE destinationQueue) {
    host::fx::Request* forwarded = requestAt(request);
    auto* destination = host::fx::Object::from<host::fx::Queue>(destinationQueue);
    if (destination == nullptr || forwarded->device() == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return forwarded->device()->forwardRequest(*forwarded, *destination);
}

PIRP imp_WdfRequestWdmGetIrp(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFREQUEST request) {
    return requestAt(request)->buffers().irp;
}

WDFFILEOBJECT imp_WdfRequestGetFileObject(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                          WDFREQUEST request) {
    host::fx::FileObject* file = requestAt(request)->file();
    return file == nullptr ? nullptr : file->handleAs<WDFFILEOBJECT>();
}

WDFDEVICE imp_WdfFileObjectGetDevice(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                     WDFFILEOBJECT fileObject) {
    return host::fx::Object::from<host::fx::FileObject>(fileObject)->device().handleAs<WDFDEVICE>();
}
