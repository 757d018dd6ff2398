// The I/O manager's user-mode side: handles opened on device interfaces, and I/O controls sent
// through them, built with the transfer method of their code.
//
//   METHOD_BUFFERED    one system buffer of max(input, output) bytes: it holds the input and
//                      receives the output, which is copied back to the caller (at most the
//                      output length, and not when the status is an error)
//   METHOD_IN_DIRECT   the input in a system buffer; the caller's output buffer is described
//   METHOD_OUT_DIRECT  by an MDL (the IRP's MdlAddress) that maps it: the driver reads the data
//                      to send from it (in) or writes the data received into it (out)
//
// A handle holds a file object of the device; closing it runs the driver's cleanup at once and
// its close once no request of the handle is in progress any more. A handle may outlive the
// removal of its device: requests then fail with the device's removal status.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "platform/wdm.h"

namespace host {

class DeviceInterfaces;
namespace fx {
class Device;
class FileObject;
}  // namespace fx

// A user-mode handle; 0 is never a valid one.
struct UserHandle {
    std::uint64_t value = 0;
    bool valid() const { return value != 0; }
    friend bool operator==(UserHandle, UserHandle) = default;
};

struct IoctlResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;  // as the driver completed the request
};

class IoManager {
public:
    explicit IoManager(DeviceInterfaces& interfaces) : interfaces_(interfaces) {}
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // Opens the device behind a visible interface link: runs the driver's file create.
    // STATUS_OBJECT_NAME_NOT_FOUND for a link that is not (or no longer) visible.
    NTSTATUS open(std::u16string_view symbolicLink, UserHandle* handle);
    // STATUS_INVALID_HANDLE for a handle that is not open.
    NTSTATUS close(UserHandle handle);
    // output: the caller's output buffer; its contents are the data an in-direct code sends.
    IoctlResult deviceIoControl(UserHandle handle, ULONG ioControlCode,
                                std::span<const std::uint8_t> input, std::span<std::uint8_t> output);

    // What a buffered request's system buffer holds behind the input: 0, as the system clears
    // it, unless a test sets another value to tell the bytes a driver wrote from those it only
    // reported.
    void setSystemBufferFill(std::uint8_t value) { systemBufferFill_.store(value); }

    // The PnP manager's part when the machine goes: closes every handle on the device, after
    // waiting for the requests in progress on them.
    void closeHandlesOf(const fx::Device* device);
    std::size_t openHandles() const;

private:
    struct OpenFile {
        fx::Device* device = nullptr;
        fx::FileObject* file = nullptr;
        unsigned callsInProgress = 0;
        bool cleanedUp = false;
        bool closing = false;
    };
    std::shared_ptr<OpenFile> beginCall(UserHandle handle);
    void endCall(const std::shared_ptr<OpenFile>& open);
    // Runs the close once the handle is cleaned up and no call is in progress.
    void releaseIfDone(const std::shared_ptr<OpenFile>& open);

    DeviceInterfaces& interfaces_;
    mutable std::mutex mutex_;
    std::condition_variable callsDone_;
    std::map<std::uint64_t, std::shared_ptr<OpenFile>> handles_;
    std::uint64_t nextHandle_ = 0x104;
    std::atomic<std::uint8_t> systemBufferFill_{0};
};

}  // namespace host
