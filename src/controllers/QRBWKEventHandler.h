#pragma once
// The base of the objects that turn the events of a Wii remote's reports into OSC messages under
// "/wii/<slot>/...". A handler belongs to one slot and adds its messages to the bundle the slot
// fills for the report under way; the slot sends that bundle once the report is interpreted.
//
// Addresses are formatted once per slot number and format and reused for every report: a remote
// reports up to a hundred times a second. The slot empties the cache when its number changes.
//
// Main thread only.

#include "controllers/devices/WiiRemoteBackend.h"

#include <initializer_list>
#include <map>
#include <memory>
#include <string>

class QRBWiiRemote;

class QRBWKEventHandler {
public:
    // The event types a dispatcher keeps handlers for: 0 to 8.
    static constexpr int kEventTypeCount = 9;

    explicit QRBWKEventHandler(QRBWiiRemote& device) : device_(&device) {}
    virtual ~QRBWKEventHandler() = default;
    QRBWKEventHandler(const QRBWKEventHandler&) = delete;
    QRBWKEventHandler& operator=(const QRBWKEventHandler&) = delete;

    // The type of the events this handler takes.
    virtual int eventType() const = 0;
    virtual void handleEvent(const devices::WiiEvent& event) = 0;
    // Handlers that smooth their values take the slot's smoothing (0 to 100); the rest ignore it.
    virtual void setSmoothing(double) {}

    // The address `format` (holding one "%i") filled with the slot's number, cached per format.
    // The text lives as long as the cache entry. An empty format is a programming error.
    const char* cachedOSCMethodForField(const char* format);
    void resetCaches() { cachedOSCMethodNames_.clear(); }

    // The slot the handler belongs to; it owns the handler and outlives it.
    QRBWiiRemote& device() const { return *device_; }

protected:
    // Adds a message of 32-bit floats under the address made from `format` to the slot's bundle
    // of the report under way; nothing when no report is under way.
    void addMessage(const char* format, std::initializer_list<double> values) {
        addMessageAt(cachedOSCMethodForField(format), values);
    }
    // The same under an address already formatted for this slot.
    void addMessageAt(const char* address, std::initializer_list<double> values);

private:
    QRBWiiRemote* device_;
    std::map<std::string, std::string, std::less<>> cachedOSCMethodNames_;
};

using QRBWKEventHandlerPtr = std::shared_ptr<QRBWKEventHandler>;
