#include "host/io/io_manager.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "host/framework/device.h"
#include "host/framework/request.h"
#include "host/io/device_interfaces.h"
#include "host/machine.h"
#include "platform/kernel_helpers.h"
#include "platform/pool.h"

namespace host {

namespace {

// System buffers of user requests, so a request that leaks one shows in the pool report.
constexpr ULONG kUserSystemBufferTag = PoolTag("IoUb");

enum : ULONG { kBuffered = 0, kInDirect = 1, kOutDirect = 2, kNeither = 3 };

// Error statuses (severity 3) carry no output; warnings such as STATUS_BUFFER_OVERFLOW do.
bool isError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// The IRP of a user request: built by the I/O manager, never by IoAllocateIrp, and never sent
// down a stack (a driver that wants to reaches the device through its own requests).
// Its locations live in the block itself unless the stack is deeper than any this machine
// builds, so a request costs no allocation for them.
struct UserIrp {
    static constexpr std::size_t kInlineLocations = 4;

    explicit UserIrp(CHAR stackSize) {
        const auto count = static_cast<std::size_t>(std::max<CHAR>(stackSize, 1));
        if (count > kInlineLocations) {
            deeper.resize(count);
        }
        IO_STACK_LOCATION* locations = deeper.empty() ? inlineLocations.data() : deeper.data();
        irp.StackCount = static_cast<CHAR>(count);
        irp.CurrentLocation = irp.StackCount;  // presented to the top driver
        irp.Tail.Overlay.CurrentStackLocation = &locations[count - 1];
        irp.RequestorMode = UserMode;
    }
    UserIrp(const UserIrp&) = delete;
    UserIrp& operator=(const UserIrp&) = delete;

    IRP irp{};
    MDL mdl{};
    std::array<IO_STACK_LOCATION, kInlineLocations> inlineLocations{};
    std::vector<IO_STACK_LOCATION> deeper;
};

// Frees the system buffer when the request is over, whichever way it ends. Its owner writes
// every byte before the driver sees it, so the pool does not fill it first.
class SystemBuffer {
public:
    explicit SystemBuffer(std::size_t size)
        : p_(size == 0 ? nullptr
                       : static_cast<std::uint8_t*>(Machine::current().pool().allocate(
                             NonPagedPoolNx, size, kUserSystemBufferTag, Pool::Fill::None))) {}
    ~SystemBuffer() {
        if (p_ != nullptr) {
            ExFreePoolWithTag(p_, kUserSystemBufferTag);
        }
    }
    SystemBuffer(const SystemBuffer&) = delete;
    SystemBuffer& operator=(const SystemBuffer&) = delete;
    std::uint8_t* get() const { return p_; }

private:
    std::uint8_t* p_;
};

IoctlResult sendIoControl(fx::Device& device, fx::FileObject* file, ULONG code,
                          std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                          std::uint8_t fill) {
    constexpr std::size_t kMaxLength = std::numeric_limits<ULONG>::max();
    if (input.size() > kMaxLength || output.size() > kMaxLength) {
        return {STATUS_INVALID_PARAMETER, 0};
    }
    const ULONG method = code & 3;
    std::size_t systemBytes = 0;
    if (method == kBuffered) {
        systemBytes = std::max(input.size(), output.size());
    } else if (method != kNeither) {
        systemBytes = input.size();
    }
    SystemBuffer system(systemBytes);
    if (systemBytes != 0 && system.get() == nullptr) {
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    if (systemBytes != 0) {
        if (!input.empty()) {
            std::memcpy(system.get(), input.data(), input.size());
        }
        // What lies behind the input is cleared: a driver that reports more than it wrote
        // hands back zeros (or the fill a test chose), never old pool contents.
        std::memset(system.get() + input.size(), fill, systemBytes - input.size());
    }

    UserIrp block(device.deviceObject()->StackSize);
    IRP& irp = block.irp;
    irp.AssociatedIrp.SystemBuffer = system.get();
    irp.UserBuffer = output.empty() ? nullptr : output.data();
    if ((method == kInDirect || method == kOutDirect) && !output.empty()) {
        block.mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
        block.mdl.MappedSystemVa = output.data();
        block.mdl.ByteCount = static_cast<ULONG>(output.size());
        irp.MdlAddress = &block.mdl;
    }
    IO_STACK_LOCATION& location = *IoGetCurrentIrpStackLocation(&irp);
    location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    location.Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(output.size());
    location.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
    location.Parameters.DeviceIoControl.IoControlCode = code;
    location.Parameters.DeviceIoControl.Type3InputBuffer =
        method == kNeither ? const_cast<std::uint8_t*>(input.data()) : nullptr;
    location.DeviceObject = device.deviceObject();

    fx::IoctlBuffers buffers;
    buffers.ioControlCode = code;
    buffers.method = method;
    buffers.systemBuffer = system.get();
    buffers.inputLength = input.size();
    buffers.outputLength = output.size();
    buffers.mdl = irp.MdlAddress;
    buffers.irp = &irp;
    auto* request = new fx::Request(file, device, buffers);
    device.processRequest(*request);
    const IoctlResult result{request->status(), request->information()};
    irp.IoStatus.Status = result.status;
    irp.IoStatus.Information = result.information;
    // Objects the driver parented to the request go with it.
    fx::Object::destroy(request);

    if (method == kBuffered && !isError(result.status) && system.get() != nullptr) {
        // Never more than the caller's buffer holds, whatever the driver reported.
        const std::size_t count = std::min<std::size_t>(result.information, output.size());
        if (count != 0) {
            std::memcpy(output.data(), system.get(), count);
        }
    }
    return result;
}

}  // namespace

IoManager::~IoManager() = default;

NTSTATUS IoManager::open(std::u16string_view symbolicLink, UserHandle* handle) {
    if (handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *handle = {};
    fx::Device* device = nullptr;
    NTSTATUS status = interfaces_.reserveOpen(symbolicLink, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    fx::FileObject* file = nullptr;
    status = device->openFile(&file, /*reserved=*/true);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto open = std::make_shared<OpenFile>();
    open->device = device;
    open->file = file;
    std::lock_guard lock(mutex_);
    const std::uint64_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = std::move(open);
    handle->value = value;
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::close(UserHandle handle) {
    std::shared_ptr<OpenFile> open;
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(handle.value);
        if (it == handles_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        open = std::move(it->second);
        handles_.erase(it);
    }
    // Cleanup comes with the last handle, even while requests of the file are still in
    // progress; close waits for them.
    open->device->cleanupFile(open->file);
    {
        std::lock_guard lock(mutex_);
        open->cleanedUp = true;
    }
    releaseIfDone(open);
    return STATUS_SUCCESS;
}

std::shared_ptr<IoManager::OpenFile> IoManager::beginCall(UserHandle handle) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle.value);
    if (it == handles_.end()) {
        return nullptr;
    }
    ++it->second->callsInProgress;
    return it->second;
}

void IoManager::endCall(const std::shared_ptr<OpenFile>& open) {
    {
        std::lock_guard lock(mutex_);
        --open->callsInProgress;
    }
    releaseIfDone(open);
}

void IoManager::releaseIfDone(const std::shared_ptr<OpenFile>& open) {
    {
        std::lock_guard lock(mutex_);
        if (!open->cleanedUp || open->callsInProgress != 0 || open->closing) {
            return;
        }
        open->closing = true;
    }
    // May delete the device when its removal waited for this file.
    open->device->releaseFile(open->file);
    std::lock_guard lock(mutex_);
    open->file = nullptr;
    callsDone_.notify_all();
}

IoctlResult IoManager::deviceIoControl(UserHandle handle, ULONG ioControlCode,
                                       std::span<const std::uint8_t> input,
                                       std::span<std::uint8_t> output) {
    std::shared_ptr<OpenFile> open = beginCall(handle);
    if (open == nullptr) {
        return {STATUS_INVALID_HANDLE, 0};
    }
    const IoctlResult result = sendIoControl(*open->device, open->file, ioControlCode, input,
                                             output, systemBufferFill_.load());
    endCall(open);
    return result;
}

void IoManager::closeHandlesOf(const fx::Device* device) {
    std::vector<std::shared_ptr<OpenFile>> closing;
    {
        std::lock_guard lock(mutex_);
        for (auto it = handles_.begin(); it != handles_.end();) {
            if (it->second->device == device) {
                closing.push_back(std::move(it->second));
                it = handles_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& open : closing) {
        open->device->cleanupFile(open->file);
        {
            std::lock_guard lock(mutex_);
            open->cleanedUp = true;
        }
        releaseIfDone(open);
        // Whoever runs the close (this thread or the last call in progress), the device may
        // go only after it.
        std::unique_lock lock(mutex_);
        callsDone_.wait(lock, [&] { return open->closing && open->file == nullptr; });
    }
}

std::size_t IoManager::openHandles() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

}  // namespace host
