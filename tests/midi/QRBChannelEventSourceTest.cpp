// The outputs that set other actions' MIDI channels: one action by its place in whatever mapping
// is current, or every action of the current mapping; the proposed list, and archives old and
// new.

#include "midi/MidiOutputFixture.h"

#include "core/mapping/QRBActionLocation.h"
#include "features/QRBEventSourceManager.h"
#include "foundation/KeyedArchiver.h"
#include "midi/outputs/QRBChannelEventSource.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"

#include "core/support/FiringTestSupport.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<QRBMidiCCEventSource> cc(unsigned n) { return QRBEventSourceManager::sharedInstance().fetchMidiCC(n); }

class QRBChannelEventSourceTest : public MidiOutputFixture {
protected:
    QRBPresetPtr addPreset(const std::string& name) {
        auto preset = std::make_shared<QRBPreset>();
        preset->setName(name);
        manager->presetManager()->addPresetsObject(preset);
        return preset;
    }
    // A context of `preset` that has received a message of `count` float arguments.
    QRBContextPtr received(const std::string& address, size_t count, QRBPresetPtr preset) {
        auto context = QRBContext::create(address, manager);
        preset->addObject(context);
        std::vector<firing::Arg> args(count, firing::Float(0));
        context->receive(firing::message(address, args), manager->oscInputEndpoint(), foundation::Date::now());
        return context;
    }
};

TEST_F(QRBChannelEventSourceTest, TheTargetIsFoundInWhicheverMappingIsCurrent) {
    auto first = currentPreset();
    auto second = addPreset("second");
    auto third = addPreset("third");
    auto synthInFirst = mapping("/synth", cc(7), 1, first);
    auto synthInSecond = mapping("/synth", cc(7), 1, second);
    auto chooser = mapping("/chooser", QRBChannelEventSource::create(synthInFirst->location()), 1, first);
    EXPECT_EQ(chooser->eventSource()->displayName(), "/synth");

    chooser->fire(floatArg(1.0).get());
    EXPECT_EQ(synthInFirst->channel(), 16);

    manager->presetManager()->setCurrentPreset(second);
    chooser->fire(floatArg(0.0).get());
    EXPECT_EQ(synthInSecond->channel(), 1);
    chooser->fire(floatArg(0.2).get());  // 0.2 × 15 rounds to 3: channel 4
    EXPECT_EQ(synthInSecond->channel(), 4);
    EXPECT_EQ(synthInFirst->channel(), 16);

    // A mapping without the target: nothing to set, and the output says it failed.
    manager->presetManager()->setCurrentPreset(third);
    chooser->setArgValue(*floatArg(0.5));
    EXPECT_EQ(chooser->eventSource()->acceptAction(*chooser), QRBAcceptResult::Failed);
    (void)third;
}

TEST_F(QRBChannelEventSourceTest, AllChannelsSetsEveryActionOfTheCurrentMapping) {
    auto a = mapping("/a", cc(1), 2);
    auto b = mapping("/b", QRBMidiNoteEventSource::create(60), 3);
    auto pair = received("/pair", 2, currentPreset());
    for (const auto& argument : pair->actions()) argument->setEventSource(cc(2));
    auto elsewhere = mapping("/a", cc(1), 2, addPreset("other"));
    auto all = mapping("/all", std::make_shared<QRBAllChannelsEventSource>());

    all->fire(floatArg(1.0).get());
    EXPECT_EQ(a->channel(), 16);
    EXPECT_EQ(b->channel(), 16);
    for (const auto& argument : pair->actions()) EXPECT_EQ(argument->channel(), 16);
    EXPECT_EQ(elsewhere->channel(), 2);
    // The firing action is set too, as far as its own output takes channels: it takes none.
    EXPECT_EQ(all->channel(), 1);
    EXPECT_EQ(all->nextActivity(), 2u);
}

TEST_F(QRBChannelEventSourceTest, TheProposedListOffersEveryOtherSingleArgumentAction) {
    auto asking = mapping("/asking", nullptr);
    const QRBEventSourceClass& cls = QRBChannelEventSource::staticClass();
    auto messages = [&] {
        const foundation::Value proposed = cls.proposedEventSourcesCollectionForAction(asking.get());
        const auto* sections = proposed.arrayValue();
        EXPECT_TRUE(sections && sections->size() == 3);
        const auto* allChannels = (*sections)[0].arrayValue();
        EXPECT_EQ((*allChannels)[0].object<QRBEventSource>()->name(), "In Current Preset");
        return (*sections)[2].dictionaryValue()->at("Message");
    };
    foundation::Value empty = messages();
    ASSERT_EQ(empty.arrayValue()->size(), 1u);
    EXPECT_NE((*empty.arrayValue())[0].dictionaryValue()->count("No other message"), 0u);

    mapping("/fader 10", nullptr);
    mapping("/fader 9", nullptr);
    received("/xy", 2, currentPreset());  // the two arguments, not the context
    std::vector<std::string> names;
    const foundation::Value offered = messages();
    for (const auto& entry : *offered.arrayValue()) names.push_back(*entry.object<QRBEventSource>()->name());
    EXPECT_EQ(names, (std::vector<std::string>{"/fader 9", "/fader 10", "/xy[0]", "/xy[1]"}));
}

// An output of an old document, which held the target action itself.
class OldChannelEventSource : public QRBChannelEventSource {
public:
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
        QRBEventSource::encodeWithCoder(coder);
        coder.encodeObject(foundation::Value(target), kLegacyActionKey);
    }
    QRBActionPtr target;
};

TEST_F(QRBChannelEventSourceTest, ArchivesKeepTheTargetOldDocumentsGiveItsPlace) {
    auto pair = received("/pair", 2, currentPreset());
    auto output = QRBChannelEventSource::create(pair->actions()[1]->location());
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(output));
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBChannelEventSource>(data);
    ASSERT_NE(decoded->targetLocation(), nullptr);
    EXPECT_TRUE(decoded->isEqualToEventSource(*output));
    EXPECT_EQ(decoded->displayName(), output->displayName());

    auto old = std::make_shared<OldChannelEventSource>();
    old->target = pair->actions()[1];
    data = foundation::KeyedArchiver::archivedDataWithRootObject(
        foundation::Value(foundation::Array{foundation::Value(pair), foundation::Value(old)}));
    foundation::Value root = foundation::KeyedUnarchiver::unarchiveObjectWithData(data);
    ASSERT_TRUE(root.arrayValue() && root.arrayValue()->size() == 2);
    auto decodedOld = (*root.arrayValue())[1].object<QRBChannelEventSource>();
    ASSERT_NE(decodedOld, nullptr);
    ASSERT_NE(decodedOld->targetLocation(), nullptr);
    EXPECT_EQ(decodedOld->targetLocation()->contextName(), "/pair");
    EXPECT_TRUE(decodedOld->isEqualToEventSource(*output));
}

}  // namespace
