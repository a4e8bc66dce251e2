#pragma once
// The seam between the program and whatever talks to devices. The default backend has no devices:
// it loads at once, counts as loaded (so start-up shows no warning) and never reports an arrival.
// Tests install a fake that reports arrivals and removals from a thread of its own.
#include <QString>

#include <memory>

struct DeviceNotifyContext;

class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;

    // Makes the backend usable; false with a text for the user when it cannot be.
    virtual bool load(QString& error) = 0;
    virtual bool isLoaded() const = 0;
    // Starts reporting arrivals and removals to context (which outlives the subscription) through
    // MobileDevice::deliverNotification. Throws std::runtime_error when it cannot.
    virtual void subscribe(DeviceNotifyContext* context) = 0;
};

// The installed backend: the no-device one unless replaced.
DeviceBackend& deviceBackend();
// Installs backend; nullptr restores the no-device default.
void setDeviceBackend(std::unique_ptr<DeviceBackend> backend);
