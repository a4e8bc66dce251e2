#include "device/devicebackend.h"

namespace {

class NoDeviceBackend : public DeviceBackend {
public:
    bool load(QString& error) override
    {
        error.clear();
        return true;
    }
    bool isLoaded() const override { return true; }
    void subscribe(DeviceNotifyContext*) override {}
};

std::unique_ptr<DeviceBackend>& installed()
{
    static std::unique_ptr<DeviceBackend> backend = std::make_unique<NoDeviceBackend>();
    return backend;
}

}  // namespace

DeviceBackend& deviceBackend()
{
    return *installed();
}

void setDeviceBackend(std::unique_ptr<DeviceBackend> backend)
{
    installed() = backend ? std::move(backend) : std::make_unique<NoDeviceBackend>();
}
