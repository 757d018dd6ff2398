// The framework driver object: created by the driver's entry point, deleted at unload, when
// its cleanup callback runs after every device is gone.
#pragma once

#include <string>
#include <vector>

#include "host/framework/object.h"

namespace host::fx {

class Device;

class Driver final : public Object {
public:
    Driver(PDRIVER_OBJECT wdm, std::u16string registryPath, const WDF_DRIVER_CONFIG& config,
           const WDF_OBJECT_ATTRIBUTES* attributes);
    ~Driver() override;

    PDRIVER_OBJECT wdm() const { return wdm_; }
    const std::u16string& registryPath() const { return registryPath_; }
    const WDF_DRIVER_CONFIG& config() const { return config_; }
    // The attributes as the driver passed them (cleanup callback, levels).
    const WDF_OBJECT_ATTRIBUTES& attributes() const { return attributes_; }

private:
    PDRIVER_OBJECT wdm_;
    std::u16string registryPath_;
    WDF_DRIVER_CONFIG config_;
    WDF_OBJECT_ATTRIBUTES attributes_{};
};

}  // namespace host::fx
