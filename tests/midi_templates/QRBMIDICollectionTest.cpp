// Collections: names and display names, undoable insertion and removal (in the collection and in
// the MIDI manager's list), parallel matching, maybeAddTemplate, copies and the exchange file.

#include "TemplateTestSupport.h"

#include "../midi/FakeMidiFixture.h"
#include "foundation/UndoManager.h"
#include "midi/QRBMIDIManager.h"

#include <gtest/gtest.h>

#include <random>

using namespace templatetest;

namespace {

QRBMIDITemplatePtr named(const std::string& name, const std::string& bytes = "B0 07 00") {
    auto t = makeTemplate(bytes, {numberAt(2)});
    t->setName(name);
    return t;
}

std::vector<std::string> displayNames(const QRBMIDICollection& c) {
    std::vector<std::string> names;
    for (const auto& t : c.templateList()) names.push_back(t->displayName().value_or("-"));
    return names;
}

TEST(TemplateCollection, DisplayNamesFollowBothNames) {
    auto desk = std::make_shared<QRBMIDICollection>();
    desk->setName(std::string("Desk"));
    desk->insertTemplates({named("Fader")}, {0});
    EXPECT_EQ(displayNames(*desk), (std::vector<std::string>{"[Desk] Fader"}));
    desk->setName(std::string("Mixer"));
    EXPECT_EQ(displayNames(*desk), (std::vector<std::string>{"[Mixer] Fader"}));
    desk->templateList()[0]->setName(std::string("Knob"));
    EXPECT_EQ(displayNames(*desk), (std::vector<std::string>{"[Mixer] Knob"}));
}

TEST(TemplateCollection, InsertionIsUniqueAndUndoable) {
    auto undo = std::make_shared<foundation::UndoManager>();
    undo->setGroupsByEvent(false);
    auto c = std::make_shared<QRBMIDICollection>();
    c->setUndoManager(undo);
    undo->beginUndoGrouping();
    c->insertTemplates({named("A"), named("B")}, {0, 1});
    undo->endUndoGrouping();
    undo->removeAllActions();

    auto clash = named("A");
    undo->beginUndoGrouping();
    c->insertTemplates({clash}, {1});
    undo->endUndoGrouping();
    EXPECT_EQ(clash->name(), "A 2");  // unique among its new siblings
    EXPECT_EQ(clash->parentCollection(), c);
    EXPECT_EQ(clash->undoManager(), undo);
    ASSERT_EQ(c->templateList().size(), 3u);
    EXPECT_EQ(c->templateList()[1], clash);

    undo->undo();
    EXPECT_EQ(c->templateList().size(), 2u);
    EXPECT_EQ(clash->parentCollection(), nullptr);
    EXPECT_EQ(clash->name(), "A");  // the renaming was part of the step
    undo->redo();
    ASSERT_EQ(c->templateList().size(), 3u);
    EXPECT_EQ(c->templateList()[1], clash);
    EXPECT_EQ(clash->parentCollection(), c);
    EXPECT_EQ(clash->displayName(), "[Collection 1] A 2");

    undo->beginUndoGrouping();
    c->removeTemplatesAtIndexes({0, 2});
    undo->endUndoGrouping();
    EXPECT_EQ(c->templateList().size(), 1u);
    undo->undo();
    ASSERT_EQ(c->templateList().size(), 3u);
    EXPECT_EQ(c->templateList()[0]->name(), "A");
    EXPECT_EQ(c->templateList()[2]->name(), "B");
}

TEST(TemplateCollection, TemplatesMatchInParallelInOrder) {
    auto c = std::make_shared<QRBMIDICollection>();
    auto wide = makeTemplate("B0 00 00", {numberAt(1), numberAt(2)});  // any controller
    wide->setName(std::string("wide"));
    auto narrow = named("narrow");
    c->insertTemplates({wide, narrow}, {0, 1});
    for (const auto& t : c->templateList()) t->setShouldTestInputMatching(true);
    std::vector<QRBOSCMessagePtr> got;
    for (uint8_t b : hex("B0 07 40")) {
        auto some = c->matchByte(b);
        if (b != 0x40) {
            EXPECT_TRUE(some.empty());
        }
        got.insert(got.end(), some.begin(), some.end());
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0]->path(), "/midi/input/Collection_1/wide");
    EXPECT_EQ(got[1]->path(), "/midi/input/Collection_1/narrow");

    // Through a document's list: every collection in order.
    auto other = std::make_shared<QRBMIDICollection>();
    other->insertTemplates({named("third")}, {0});
    other->templateList()[0]->setShouldTestInputMatching(true);
    auto all = QRBMIDICollection::matchMessage({c, other}, hex("B0 07 40"));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2]->path(), "/midi/input/Collection_1/third");
}

TEST(TemplateCollection, MaybeAddTemplateReusesAnEqualTemplate) {
    auto c = std::make_shared<QRBMIDICollection>();
    auto present = named("present");
    c->insertTemplates({present}, {0});
    EXPECT_EQ(c->maybeAddTemplate(named("any name")), present);
    EXPECT_EQ(c->templateList().size(), 1u);
    auto different = named("different", "B0 08 00");
    EXPECT_EQ(c->maybeAddTemplate(different), different);
    EXPECT_EQ(c->templateList().size(), 2u);
    EXPECT_EQ(different->parentCollection(), c);
}

TEST(TemplateCollection, CopiesOwnCopiesOfTheTemplates) {
    auto c = std::make_shared<QRBMIDICollection>();
    c->insertTemplates({named("one"), named("two")}, {0, 1});
    c->setIsExpanded(false);
    auto copy = c->copy();
    ASSERT_EQ(copy->templateList().size(), 2u);
    EXPECT_FALSE(copy->isExpanded());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(copy->templateList()[i], c->templateList()[i]);
        EXPECT_EQ(copy->templateList()[i]->parentCollection(), copy);
        EXPECT_TRUE(copy->templateList()[i]->isEqualToEventSource(*c->templateList()[i]));
    }
    copy->setName(std::string("Copy"));
    EXPECT_EQ(copy->templateList()[0]->displayName(), "[Copy] one");
    EXPECT_EQ(c->templateList()[0]->displayName(), "[Collection 1] one");
    copy.reset();  // releasing the copy leaves the original alone
    EXPECT_EQ(c->templateList()[0]->parentCollection(), c);
}

TEST(TemplateCollection, ValidateName) {
    std::string error;
    EXPECT_FALSE(QRBMIDIElement::validateName(std::nullopt, &error));
    EXPECT_EQ(error, "The name cannot be empty");
    EXPECT_TRUE(QRBMIDIElement::validateName(std::string(""), &error));
}

TEST(TemplateExchangeFile, RoundTripKeepsTheTree) {
    auto desk = std::make_shared<QRBMIDICollection>();
    desk->setName(std::string("Desk"));
    auto fader = makeTemplate("F0 41 00 00 F7", {numberAt(2), QRBMIDIChecksumSubstitution::make(200, 1, 2, 3)});
    fader->setName(std::string("Fader"));
    desk->insertTemplates({fader}, {0});
    auto empty = std::make_shared<QRBMIDICollection>();
    empty->setName(std::string("Empty"));

    auto back =
        QRBMIDICollection::collectionsWithExchangeData(QRBMIDICollection::exchangeDataWithCollections({desk, empty}));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0]->name(), "Desk");
    ASSERT_EQ(back[0]->templateList().size(), 1u);
    const auto& t = back[0]->templateList()[0];
    EXPECT_TRUE(t->isEqualToEventSource(*fader));
    EXPECT_EQ(t->parentCollection(), back[0]);
    EXPECT_EQ(t->displayName(), "[Desk] Fader");
    EXPECT_TRUE(back[1]->templateList().empty());

    EXPECT_TRUE(
        QRBMIDICollection::collectionsWithExchangeData(QRBMIDICollection::exchangeDataWithCollections({})).empty());
}

TEST(TemplateExchangeFile, OtherContentIsAnError) {
    const foundation::Data notAnArchive = hex("62 70 6C 69 73 74 30 30 FF");
    EXPECT_THROW(QRBMIDICollection::collectionsWithExchangeData(notAnArchive), foundation::ArchiveError);
    auto single =
        foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(std::make_shared<QRBMIDICollection>()));
    EXPECT_THROW(QRBMIDICollection::collectionsWithExchangeData(single), foundation::ArchiveError);
    auto wrongClass = foundation::KeyedArchiver::archivedDataWithRootObject(
        foundation::Value(foundation::Array{foundation::Value(named("t"))}));
    EXPECT_THROW(QRBMIDICollection::collectionsWithExchangeData(wrongClass), foundation::ArchiveError);
}

// ---- the MIDI manager's list ---------------------------------------------------------------------------

class TemplateCollectionsOfManager : public FakeMidiFixture {
protected:
    void SetUp() override {
        FakeMidiFixture::SetUp();
        manager = QRBMIDIManager::create();
        undo = std::make_shared<foundation::UndoManager>();
        undo->setGroupsByEvent(false);
        manager->setUndoManager(undo);
    }
    void TearDown() override {
        manager->close();
        manager.reset();
        FakeMidiFixture::TearDown();
    }
    template <class F> void step(F f) {
        undo->beginUndoGrouping();
        f();
        undo->endUndoGrouping();
    }
    QRBMIDIManagerPtr manager;
    std::shared_ptr<foundation::UndoManager> undo;
};

TEST_F(TemplateCollectionsOfManager, InsertRemoveAndEnsureAreUndoableAndObserved) {
    std::vector<std::string> changes;
    auto token = manager->addObserver("templatesCollections", [&](const foundation::KeyValueChange& change) {
        changes.push_back(std::to_string(static_cast<int>(change.kind)) + ":" + std::to_string(change.indexes.at(0)));
    });
    auto a = std::make_shared<QRBMIDICollection>();
    auto b = std::make_shared<QRBMIDICollection>();
    step([&] { manager->insertTemplatesCollections({a, b}, {0, 1}); });
    // Each new name is unique among the present and all the new collections, the collection's
    // own name not counting: the first yields to the second.
    EXPECT_EQ(a->name(), "Collection 2");
    EXPECT_EQ(b->name(), "Collection 1");
    EXPECT_EQ(a->undoManager(), undo);
    EXPECT_EQ(changes.size(), 2u);

    step([&] { manager->ensureTemplateCollectionNamed("Desk"); });
    EXPECT_EQ(manager->ensureTemplateCollectionNamed("Desk"), manager->templatesCollections()[2]);
    EXPECT_EQ(manager->templatesCollections().size(), 3u);
    undo->undo();
    EXPECT_EQ(manager->templatesCollections().size(), 2u);

    step([&] { manager->removeTemplatesCollectionsAtIndexes({0}); });
    EXPECT_EQ(manager->templatesCollections()[0], b);
    undo->undo();
    EXPECT_EQ(manager->templatesCollections()[0], a);
    undo->redo();
    EXPECT_EQ(manager->templatesCollections()[0], b);
}

TEST_F(TemplateCollectionsOfManager, CollectionsTravelWithTheManagerArchive) {
    step([&] { manager->ensureTemplateCollectionNamed("Desk")->insertTemplates({named("Fader")}, {0}); });
    auto back = roundTrip(manager);
    ASSERT_EQ(back->templatesCollections().size(), 1u);
    EXPECT_EQ(back->templatesCollections()[0]->name(), "Desk");
    EXPECT_EQ(back->templatesCollections()[0]->templateList()[0]->parentCollection(), back->templatesCollections()[0]);
    back->close();
}

}  // namespace

namespace {

// What feeding every byte to each template in turn gives: the messages' paths and arguments.
std::string describe(const QRBOSCMessagePtr& message) {
    std::string text = message->path();
    for (const auto& arg : message->arguments()) {
        const std::optional<std::string> string = arg->stringValue();
        text += " " + (string ? *string : std::to_string(arg->floatValue()));
    }
    return text;
}

struct ReferenceCollection {
    std::vector<QRBMIDITemplatePtr> templates;  // stand-alone copies, fed byte by byte
    std::vector<std::string> matchByte(uint8_t byte) {
        std::vector<std::string> out;
        for (const auto& t : templates)
            if (auto message = t->matchByte(byte)) out.push_back(describe(message));
        return out;
    }
};

// The collection matches its templates together through an index; it must give what each template
// fed alone gives, byte for byte: with templates sharing first bytes, masked first bytes, templates
// longer than the index is deep, bytes that break a match and are not tried again, and templates
// edited, switched off, added and removed while matches are under way.
TEST(TemplateCollection, IndexedMatchingGivesWhatEachTemplateGivesAlone) {
    std::mt19937 random(31);
    auto pick = [&](uint32_t n) { return random() % n; };
    // Few distinct byte values, so that templates share prefixes and the stream matches often.
    const uint8_t alphabet[] = {0xF0, 0xF7, 0x41, 0x10, 0x00, 0x7F, 0xB0, 0xB1};
    auto someByte = [&] { return alphabet[pick(sizeof alphabet)]; };
    auto makeBytes = [&] {
        foundation::Data bytes;
        const uint32_t length = pick(4) == 0 ? 30 + pick(8) : 1 + pick(6);  // some past the index's depth
        bytes.push_back(pick(3) == 0 ? 0xF0 : someByte());
        while (bytes.size() < length) bytes.push_back(pick(5) == 0 ? 0xF0 : someByte());
        return bytes;
    };
    auto makeOne = [&](size_t n) {
        foundation::Data bytes = makeBytes();
        std::vector<QRBMIDISubstitutionPtr> substitutions;
        if (pick(2)) substitutions.push_back(channelAt(int64_t(pick(uint32_t(bytes.size())))));
        if (pick(2)) substitutions.push_back(numberAt(int64_t(pick(uint32_t(bytes.size()))), {int64_t(pick(4)), 3}));
        auto t = makeTemplate("", substitutions);
        t->setTemplateBytes(bytes);
        t->setName("T" + std::to_string(n));
        t->setOSCPathForInputMatching("/t/" + std::to_string(n));
        t->setShouldTestInputMatching(pick(8) != 0);
        return t;
    };

    for (int round = 0; round < 12; ++round) {
        auto collection = std::make_shared<QRBMIDICollection>();
        ReferenceCollection reference;
        std::vector<QRBMIDITemplatePtr> originals;
        size_t made = 0;
        for (size_t i = 0, n = 5 + pick(40); i < n; ++i) originals.push_back(makeOne(made++));
        std::vector<size_t> indexes(originals.size());
        for (size_t i = 0; i < indexes.size(); ++i) indexes[i] = i;
        collection->insertTemplates(originals, indexes);
        for (const auto& t : collection->templateList()) {
            auto alone = t->copy();
            alone->setParentCollection(nullptr);
            reference.templates.push_back(alone);
        }

        // A stream of the templates' own bytes, cut and spliced, with stray bytes between.
        for (int i = 0; i < 600; ++i) {
            if (pick(60) == 0) {
                // An edit while matches are under way, made to both.
                const size_t at = pick(uint32_t(reference.templates.size()));
                switch (pick(4)) {
                case 0: {
                    const foundation::Data bytes = makeBytes();
                    collection->templateList()[at]->setTemplateBytes(bytes);
                    reference.templates[at]->setTemplateBytes(bytes);
                    break;
                }
                case 1: {
                    const bool on = !reference.templates[at]->shouldTestInputMatching();
                    collection->templateList()[at]->setShouldTestInputMatching(on);
                    reference.templates[at]->setShouldTestInputMatching(on);
                    break;
                }
                case 2: {
                    collection->removeTemplatesAtIndexes({at});
                    reference.templates.erase(reference.templates.begin() + std::ptrdiff_t(at));
                    break;
                }
                default: {
                    auto t = makeOne(made++);
                    collection->insertTemplates({t}, {at});
                    auto alone = t->copy();
                    alone->setParentCollection(nullptr);
                    reference.templates.insert(reference.templates.begin() + std::ptrdiff_t(at), alone);
                    break;
                }
                }
                if (reference.templates.empty()) break;
            }
            foundation::Data piece;
            if (pick(3) == 0) {
                piece.push_back(someByte());
            } else {
                piece = reference.templates[pick(uint32_t(reference.templates.size()))]->templateBytes();
                if (!piece.empty() && pick(3) == 0) piece.resize(pick(uint32_t(piece.size())));
                if (!piece.empty() && pick(3) == 0) piece[pick(uint32_t(piece.size()))] = someByte();
            }
            for (uint8_t b : piece) {
                std::vector<std::string> got;
                for (const auto& m : collection->matchByte(b)) got.push_back(describe(m));
                ASSERT_EQ(got, reference.matchByte(b)) << "round " << round << " step " << i;
            }
        }
    }
}

TEST(TemplateCollection, ATemplateEditedMidMatchEndsItsMatchWithTheNextByte) {
    auto c = std::make_shared<QRBMIDICollection>();
    auto t = makeTemplate("F0 41 10 00 F7", {numberAt(3)});
    c->insertTemplates({t}, {0});
    t->setOSCPathForInputMatching(std::string("/sysex"));
    t->setShouldTestInputMatching(true);
    for (uint8_t b : hex("F0 41")) EXPECT_TRUE(c->matchByte(b).empty());
    ASSERT_EQ(c->partialMatches().size(), 1u);
    EXPECT_EQ(c->partialMatches()[0].received, hex("F0 41"));

    // Still a match under the new bytes: it goes on.
    t->setTemplateBytes(hex("F0 41 11 00 F7"));
    EXPECT_TRUE(c->matchByte(0x11).empty());
    EXPECT_EQ(c->partialMatches()[0].received, hex("F0 41 11"));
    // No longer one: the next byte ends it, and is not taken as a first byte either.
    t->setTemplateBytes(hex("F0 42 11 00 F7"));
    EXPECT_TRUE(c->matchByte(0x05).empty());
    EXPECT_TRUE(c->partialMatches().empty());
    for (uint8_t b : hex("F0 42 11 05")) EXPECT_TRUE(c->matchByte(b).empty());
    ASSERT_EQ(c->matchByte(0xF7).size(), 1u);
}

}  // namespace
