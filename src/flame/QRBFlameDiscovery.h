#pragma once
// Discovery of the Flame FireWire device, as the start-up uses it: two callbacks with a context,
// and start and stop. The FireWire link provides the real discovery; until a process is given one,
// the discovery below never finds a device.

struct flame_device;

using QRBFlameDiscoveryCallback = void (*)(void* context, flame_device* device);

class QRBFlameDiscovery {
public:
    virtual ~QRBFlameDiscovery() = default;
    // The callbacks run on the main run loop, `context` passed through.
    virtual void setCallbacks(QRBFlameDiscoveryCallback appeared, QRBFlameDiscoveryCallback disappeared, void* context) = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
};

class QRBNoFlameDiscovery : public QRBFlameDiscovery {
public:
    void setCallbacks(QRBFlameDiscoveryCallback, QRBFlameDiscoveryCallback, void*) override {}
    void start() override {}
    void stop() override {}
};
