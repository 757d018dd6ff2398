// Windows driver images on the machine: loaded against the machine's exports (the kernel's
// modules and WDFLDR.SYS) and bound, through the framework loader, to the machine's own
// framework, the same one a driver compiled into the program uses. An image stays mapped as
// long as the machine, since a driver is unloaded only when the machine goes down.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "host/image/export_tables.h"
#include "host/image/framework_loader.h"
#include "host/image/image_loader.h"

namespace host::fx {
class Framework;
}  // namespace host::fx

namespace host::image {

class DriverImages {
public:
    explicit DriverImages(fx::Framework& framework);
    ~DriverImages();
    DriverImages(const DriverImages&) = delete;
    DriverImages& operator=(const DriverImages&) = delete;

    const ExportTables& exports() const { return exports_; }

    // The loaded image, whose entry point the PnP manager then calls; or the reason it cannot be
    // loaded, a sentence naming the file.
    struct Loaded {
        const LoadedImage* image = nullptr;
        std::string error;
    };
    Loaded load(const std::filesystem::path& path);

private:
    class Binding;
    std::unique_ptr<Binding> binding_;
    FrameworkLoader loader_;
    ExportTables exports_;
    std::vector<std::unique_ptr<LoadedImage>> images_;
};

}  // namespace host::image
