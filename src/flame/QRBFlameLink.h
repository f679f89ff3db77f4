#pragma once
// The way from outputs to the Flame device: a register write queued on the device that discovery
// chose as current. The control-change and program-change outputs write through it.
//
// The shared link refuses every write until the Flame device layer installs the real one, so a
// process without it (or a machine without the device) answers "not written" everywhere.
//
// Main thread, like the outputs that call it.

#include <cstdint>
#include <memory>

class QRBFlameLink {
public:
    virtual ~QRBFlameLink() = default;

    // Queues the write of the words `high` and `low` at register `offset` of the current device.
    // A write of priority 0 may be refused when the device's write ring is full; a priority write
    // waits for room. True when the write was queued; false when there is no device or the write
    // was refused.
    virtual bool writeToCurrentDevice(uint32_t offset, uint32_t high, uint32_t low, int priority);

    // The process's link (one that refuses everything unless another was installed).
    static QRBFlameLink& shared();
    // Installs a link; null restores the refusing default.
    static void setShared(std::shared_ptr<QRBFlameLink> link);

    // Gives the controller outputs their way to the device: each value becomes the controller's
    // two words, written through the shared link. Called once when the engine registers.
    static void installControllerWrite();
};
