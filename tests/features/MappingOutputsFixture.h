#pragma once
// Shared pieces of the mapping outputs' tests: a routing manager with mappings of our own, routes
// to a receiver on the loopback, and that receiver.

#include "core/support/ManagerTestSupport.h"

#include "core/mapping/QRBPreset.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/Format.h"

#include <lo/lo.h>

#include <cstring>
#include <string>
#include <vector>

namespace mappingoutputs {

// One message a receiver got: "path ,types v1 v2".
inline std::string describe(const char* path, const char* types, lo_arg** argv, int argc) {
    std::string text = std::string(path) + " ," + types;
    for (int i = 0; i < argc; ++i) {
        const void* bytes = argv[i];
        auto read = [bytes](auto value) {
            std::memcpy(&value, bytes, sizeof value);
            return value;
        };
        switch (types[i]) {
        case 'f': text += foundation::format(" %g", read(float())); break;
        case 'i': text += " " + std::to_string(read(int32_t())); break;
        case 's': text += std::string(" ") + static_cast<const char*>(bytes); break;
        default: text += " ?"; break;
        }
    }
    return text;
}

// A liblo UDP server on an ephemeral loopback port, standing for a device.
class Receiver {
public:
    Receiver() {
        server_ = lo_server_new_with_proto(nullptr, LO_UDP, [](int, const char*, const char*) {});
        if (server_) lo_server_add_method(server_, nullptr, nullptr, &Receiver::handle, this);
    }
    ~Receiver() {
        if (server_) lo_server_free(server_);
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    bool isValid() const { return server_ != nullptr; }
    int port() const { return lo_server_get_port(server_); }
    void poll() {
        for (int i = 0; i < 100 && lo_server_recv_noblock(server_, 0) > 0; ++i) {}
    }

    std::vector<std::string> messages;

private:
    static int handle(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* user) {
        static_cast<Receiver*>(user)->messages.push_back(describe(path, types, argv, argc));
        return 0;
    }

    lo_server server_ = nullptr;
};

class MappingOutputsTest : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        ASSERT_TRUE(receiver.isValid());
        manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(receiver.port()));
        manager->setDefaultTargetIndex(0);
    }

    // Mappings named as given; the document's first mapping takes the first name.
    std::vector<QRBPresetPtr> makePresets(const std::vector<std::string>& names) {
        const auto& presets = manager->presetManager();
        presets->objectInPresetsAtIndex(0)->setName(names.at(0));
        for (size_t i = 1; i < names.size(); ++i) {
            auto preset = std::make_shared<QRBPreset>();
            preset->setName(names[i]);
            presets->addPresetsObject(preset);
        }
        return presets->presets();
    }
    // A top-level context of `preset` for `address`, with `source` as its output.
    QRBContextPtr addContext(const QRBPresetPtr& preset, const std::string& address, const QRBEventSourcePtr& source) {
        auto context = QRBContext::create(address, manager);
        preset->addObject(context);
        context->setEventSource(source);
        return context;
    }
    // A route to the receiver, in the document's list.
    QRBRouteEventSourcePtr route(const std::optional<std::string>& address, const std::vector<std::string>& tokens) {
        auto r = std::make_shared<QRBRouteEventSource>();
        r->setTargetIdentifier(0);
        r->setRewriteAddress(address);
        foundation::Array texts;
        for (const auto& t : tokens) texts.emplace_back(t);
        r->setRewriteTokens(foundation::Value(texts));
        manager->insertObject(r, manager->countOfOscRoutes());
        return r;
    }
    // Runs the main loop until the receiver holds `count` messages.
    bool receiveAtLeast(size_t count) {
        return runUntil([&] {
            receiver.poll();
            return receiver.messages.size() >= count;
        });
    }
    // Then a little longer, to see that nothing more comes.
    void drain() {
        settle();
        receiver.poll();
    }

    Receiver receiver;
};

}  // namespace mappingoutputs
