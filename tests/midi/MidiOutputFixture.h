#pragma once
// A document on the fake MIDI system whose mappings drive MIDI outputs: mappings are made in its
// current preset and fired directly; what the document sends leaves through the process's virtual
// source "Quorbital Out", which the fake records.

#include "midi/FakeMidiFixture.h"

#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBArg.h"
#include "document/QRBManager.h"
#include "foundation/NetService.h"
#include "midi/QRBMIDIManager.h"
#include "platform/FakeBonjourBackend.h"
#include "platform/wii/FakeWiiRemoteBackend.h"

#include <memory>
#include <string>
#include <vector>

class MidiOutputFixture : public FakeMidiFixture {
protected:
    using Bytes = std::vector<uint8_t>;

    void SetUp() override {
        FakeMidiFixture::SetUp();
        foundation::BonjourBackend::setShared(bonjour);
        devices::DeviceLayers layers;
        layers.wiiRemotes = std::make_shared<platform::FakeWiiRemoteBackend>();
        devices::DeviceLayers::install(layers);
        manager = QRBManager::create();
        manager->fixWiiRemoteManager(std::make_shared<QRBWiiRemoteManager>());
        outSource = fake->virtualEndpointNamed("Quorbital Out");
        settle();
        fake->clearSent();
    }
    void TearDown() override {
        manager->close();
        manager.reset();
        devices::DeviceLayers::reset();
        foundation::BonjourBackend::setShared(nullptr);
        FakeMidiFixture::TearDown();
    }

    QRBPresetPtr currentPreset() const { return manager->presetManager()->currentPreset(); }

    // A one-argument mapping of `preset` (the current one by default) on `channel`.
    QRBContextPtr mapping(const std::string& address, const QRBEventSourcePtr& output, int64_t channel = 1,
                          QRBPresetPtr preset = nullptr) {
        auto context = QRBContext::create(address, manager);
        (preset ? preset : currentPreset())->addObject(context);
        context->setEventSource(output);
        context->setChannel(channel);
        return context;
    }

    static QRBArgPtr floatArg(double value) { return QRBArg::argWithFloatValue(static_cast<float>(value)); }
    static QRBArgPtr intArg(int32_t value) { return QRBArg::argWithInt32Value(value); }
    static QRBArgPtr midiArg(std::vector<uint8_t> bytes) {
        bytes.resize(4);
        return QRBArg::argOfType('m', bytes.data());
    }

    // The packets published through "Quorbital Out" since the last call.
    std::vector<Bytes> takeSent() {
        settle();
        std::vector<Bytes> packets;
        for (const auto& sent : fake->sent())
            if (sent.ref == outSource) packets.push_back(sent.bytes);
        fake->clearSent();
        return packets;
    }

    std::shared_ptr<platform::FakeBonjourBackend> bonjour = std::make_shared<platform::FakeBonjourBackend>();
    QRBManagerPtr manager;
    midi::EndpointRef outSource = 0;
};
