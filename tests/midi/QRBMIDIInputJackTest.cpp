// A note played by another JACK client into a running document's MIDI input becomes OSC at the
// document's own port, and there a context of its address, configured for notes: MIDI input
// re-enters the routing as ordinary OSC input, and a route of the context carries it on to a
// target. On a JACK server of the suite's own (`jackd -d dummy`); skipped, saying why, where jackd
// cannot run.

#include "midi/JackDocumentFixture.h"

#include "core/mapping/QRBContext.h"
#include "core/osc/QRBTarget.h"
#include "core/support/TargetServer.h"
#include "document/QRBRouteEventSource.h"
#include "features/QRBEventSourceManager.h"
#include "midi/QRBMIDIManager.h"

namespace {

using managertest::Received;
using managertest::TargetServer;

class QRBMIDIInputJackTest : public jacktest::JackDocumentFixture {
protected:
    void SetUp() override {
        JackDocumentFixture::SetUp();
        // New actions are configured as the program configures them, not by the probe.
        automatic_ = std::make_unique<firing::ConfiguratorScope>(QRBEventSourceManager::sharedPointer());
    }
    void TearDown() override {
        automatic_.reset();
        JackDocumentFixture::TearDown();
    }

private:
    std::unique_ptr<firing::ConfiguratorScope> automatic_;
};

TEST_F(QRBMIDIInputJackTest, ANoteFromAnotherClientBecomesAConfiguredContextThatRoutesToATarget) {
    TargetServer target(LO_UDP);
    ASSERT_TRUE(target.isValid());
    manager->oscTargets()[1]->setTargetSpec("127.0.0.1:" + std::to_string(target.port()));
    ASSERT_TRUE(manager->start());
    ASSERT_FALSE(manager->contextWithName("/midi/note/1"));

    ASSERT_TRUE(openDevice("keys"));
    ASSERT_TRUE(connectDeviceToDocument());
    device.play({0x90, 0x40, 0x64});
    ASSERT_TRUE(waitFor([&] { return manager->contextWithName("/midi/note/1") != nullptr; }));
    const QRBContextPtr note = manager->contextWithName("/midi/note/1");

    // The automatic configuration names the three arguments and gives the pitch its MIDI range.
    ASSERT_EQ(note->actions().size(), 3u);
    EXPECT_EQ(note->actions()[0]->name(), "pitch");
    EXPECT_EQ(note->actions()[0]->inputMax(), 127);
    EXPECT_EQ(note->actions()[1]->name(), "velocity");
    EXPECT_EQ(note->actions()[2]->name(), "trigger");

    // The note reaches the monitor too, as MIDI input, handed over apart from the OSC.
    EXPECT_TRUE(waitFor([&] {
        for (const auto& event : manager->messageMonitor()->events().events())
            if (auto message = std::dynamic_pointer_cast<QRBMIDIMessage>(event->message()))
                if (message->data() == foundation::Data{0x90, 0x40, 0x64}) return true;
        return false;
    }));

    // A route of the context sends the arguments as they came to the target.
    auto route = std::make_shared<QRBRouteEventSource>();
    route->setTargetIdentifier(1);
    route->setRewriteAddress(std::string("/keys/note"));
    manager->insertObject(route, manager->countOfOscRoutes());
    note->setEventSource(route);
    ASSERT_TRUE(waitFor([&] {
        target.poll();
        return !target.messages.empty();
    }));
    device.stop();
    EXPECT_EQ(target.messages.front(), (Received{"/keys/note", "iff", {"64", "0.787402", "1"}}));
}

}  // namespace
