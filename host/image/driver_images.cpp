#include "host/image/driver_images.h"

#include <string_view>

#include "host/framework/framework.h"
#include "host/image/kernel_exports.h"

namespace host::image {

namespace {

constexpr ULONG kFrameworkMinorVersion = 15;

// The service is the last name of the registry path the system passes to a driver's entry.
std::u16string serviceOf(PCUNICODE_STRING registryPath) {
    if (registryPath == nullptr || registryPath->Buffer == nullptr) {
        return {};
    }
    const std::u16string_view path(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
    const std::size_t slash = path.rfind(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::vector<ExportModule> machineModules() {
    std::vector<ExportModule> modules(kernelExportModules().begin(), kernelExportModules().end());
    modules.push_back(FrameworkLoader::exports());
    return modules;
}

}  // namespace

// The framework's side of the loader: its function table by index, and the globals it keeps
// for the one driver bound to it.
class DriverImages::Binding final : public FrameworkSide {
public:
    explicit Binding(fx::Framework& framework)
        : framework_(framework), table_(WdfFunctionTableNumEntries, nullptr) {
        for (const fx::FrameworkFunction& entry : fx::frameworkFunctions()) {
            table_.at(entry.index) = entry.function;
        }
    }

    ULONG minorVersion() const override { return kFrameworkMinorVersion; }
    std::span<const FrameworkFunction> functions() const override { return table_; }
    NTSTATUS createDriverGlobals(PDRIVER_OBJECT, PCUNICODE_STRING registryPath,
                                 WDF_DRIVER_GLOBALS** globals) override {
        *globals = framework_.bind(serviceOf(registryPath));
        return *globals != nullptr ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    }
    void destroyDriverGlobals(WDF_DRIVER_GLOBALS* globals) override { framework_.unbind(globals); }

private:
    fx::Framework& framework_;
    std::vector<FrameworkFunction> table_;
};

DriverImages::DriverImages(fx::Framework& framework)
    : binding_(std::make_unique<Binding>(framework)),
      loader_(*binding_),
      exports_(machineModules()) {}

DriverImages::~DriverImages() = default;

DriverImages::Loaded DriverImages::load(const std::filesystem::path& path) {
    ImageLoadResult result = loadImageFile(path, exports_);
    if (result.image == nullptr) {
        return {nullptr, std::move(result.error)};
    }
    images_.push_back(std::move(result.image));
    return {images_.back().get(), {}};
}

}  // namespace host::image
