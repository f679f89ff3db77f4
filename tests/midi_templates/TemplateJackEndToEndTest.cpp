// Templates end to end on a real JACK server (`jackd -r -d dummy` under a server name of this
// test's own): an OSC value received over UDP drives a template that sends a SysEx with its
// checksum to another JACK client, and that client's SysEx matches a template and arrives as OSC
// at a target. Where jackd cannot start, the tests skip and say why.

#include "TemplateTestSupport.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBTarget.h"
#include "core/support/TargetServer.h"
#include "document/QRBRouteEventSource.h"
#include "midi/JackDocumentFixture.h"
#include "midi/QRBMIDIManager.h"

using namespace templatetest;

namespace {

class TemplateJackEndToEnd : public jacktest::JackDocumentFixture {};

TEST_F(TemplateJackEndToEnd, AnOSCValueSendsASysExWithItsChecksumToAnotherClient) {
    ASSERT_TRUE(openDevice("synth"));
    std::shared_ptr<TarnMIDIRealDestination> destination;
    ASSERT_TRUE(waitFor([&] {
        for (const auto& d : tarn->realDestinations())
            if (d->name() == "synth in" && d->isOnline()) destination = d;
        return destination != nullptr;
    }));
    auto midi = manager->midiManager();
    midi->setIsVirtualSourceActive(false);
    midi->select(true, destination);
    ASSERT_TRUE(manager->start());

    // The SysEx: a Roland-style data set whose value byte is driven and whose checksum covers the
    // address and the value.
    auto sysex = makeTemplate(
        "F0 41 10 42 12 00 00 F7",
        {numberAt(5), QRBMIDIChecksumSubstitution::make(QRBMIDIChecksumSubstitution::NegatedSum, 1, 5, 6)});
    // The connection to the synth takes effect at a later cycle of the server: the value is sent
    // until it arrives.
    sysex->setToleratesRedundantOutputValues(true);
    sysex->setTriggerMode(QRBTrigger::kAlways);
    midi->ensureTemplateCollectionNamed("Synth")->insertTemplates({sysex}, {0});

    managertest::Sender sender(LO_UDP, port);
    sender.send(managertest::packet("/volume", {firing::Float(0.5)}));
    ASSERT_TRUE(waitFor([&] { return manager->contextWithName("/volume") != nullptr; }));
    manager->contextWithName("/volume")->setEventSource(sysex);

    const std::vector<uint8_t> expected = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x1B, 0xF7};  // 64; -(E5) & 7F
    EXPECT_TRUE(waitFor([&] {
        sender.send(managertest::packet("/volume", {firing::Float(0.5)}));
        foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0.02);
        return !device.received().empty();
    }));
    for (const auto& message : device.received()) EXPECT_EQ(hexText(message), hexText(expected));
}

TEST_F(TemplateJackEndToEnd, ASysExFromAnotherClientMatchesATemplateAndArrivesAtATarget) {
    managertest::TargetServer target(LO_UDP);
    ASSERT_TRUE(target.isValid());
    manager->oscTargets()[2]->setTargetSpec("127.0.0.1:" + std::to_string(target.port()));
    // The same data set as the synth sends back: the value is read from its byte, the checksum is
    // no part of the match.
    auto sysex = makeTemplate(
        "F0 41 10 42 12 00 00 F7",
        {numberAt(5), QRBMIDIChecksumSubstitution::make(QRBMIDIChecksumSubstitution::NegatedSum, 1, 5, 6)});
    sysex->setOSCPathForInputMatching(std::string("/midi/input/Synth/Volume"));
    sysex->setShouldTestInputMatching(true);
    manager->midiManager()->ensureTemplateCollectionNamed("Synth")->insertTemplates({sysex}, {0});
    ASSERT_TRUE(manager->start());

    ASSERT_TRUE(openDevice("synth"));
    ASSERT_TRUE(connectDeviceToDocument());
    device.play({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x1B, 0xF7});
    ASSERT_TRUE(waitFor([&] { return manager->contextWithName("/midi/input/Synth/Volume") != nullptr; }));

    auto route = std::make_shared<QRBRouteEventSource>();
    route->setTargetIdentifier(2);
    manager->insertObject(route, manager->countOfOscRoutes());
    manager->contextWithName("/midi/input/Synth/Volume")->setEventSource(route);
    ASSERT_TRUE(waitFor([&] {
        target.poll();
        return !target.messages.empty();
    }));
    device.stop();
    EXPECT_EQ(target.messages.front(), (managertest::Received{"/midi/input/Synth/Volume", "f", {"0.503937"}}));
}

}  // namespace
