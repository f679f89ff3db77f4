#include "foundation/Exception.h"
#include "foundation/Observation.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace foundation;
using Kind = KeyValueChangeKind;

namespace {

// An observed object with a plain key whose value it supplies ("level"), a key it does not
// supply ("flag") and a list ("items").
class Box : public Observable {
public:
    int level = 0;
    std::vector<int> items;

    void setLevel(int v) {
        willChangeValueForKey("level");
        level = v;
        didChangeValueForKey("level");
    }
    void insertItem(int v, size_t at) {
        willChange(Kind::Insertion, {at}, "items");
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), v);
        didChange(Kind::Insertion, {at}, "items");
    }

protected:
    Value observedValueForKey(const std::string& key) const override { return key == "level" ? Value(level) : Value(); }
};

struct Recorder {
    std::vector<KeyValueChange> changes;
    KeyValueObserver callback() {
        return [this](const KeyValueChange& c) { changes.push_back(c); };
    }
};

TEST(Observation, ObserversHearAfterTheChangeWithOldAndNewValues) {
    Box box;
    Recorder level, flag;
    std::optional<int> seenDuringCallback;
    auto t1 = box.addObserver("level", level.callback());
    auto t2 = box.addObserver("flag", flag.callback());
    auto t3 = box.addObserver("level", [&](const KeyValueChange&) { seenDuringCallback = box.level; });

    box.willChangeValueForKey("level");
    box.level = 4;
    EXPECT_TRUE(level.changes.empty()) << "nothing is told before did-change";
    box.didChangeValueForKey("level");

    ASSERT_EQ(level.changes.size(), 1u);
    const KeyValueChange& c = level.changes[0];
    EXPECT_EQ(c.key, "level");
    EXPECT_EQ(c.kind, Kind::Setting);
    EXPECT_EQ(c.oldValue, Value(0));
    EXPECT_EQ(c.newValue, Value(4));
    EXPECT_FALSE(c.initial);
    EXPECT_EQ(seenDuringCallback, 4);
    EXPECT_TRUE(flag.changes.empty()) << "observers of other keys hear nothing";

    box.willChangeValueForKey("flag");
    box.didChangeValueForKey("flag");
    ASSERT_EQ(flag.changes.size(), 1u);
    EXPECT_TRUE(flag.changes[0].oldValue.isNull()) << "a key the object does not supply comes without values";
    EXPECT_TRUE(flag.changes[0].newValue.isNull());
}

TEST(Observation, NestedChangesOfOneKeyNotifyOnceAtTheOutermostDidChange) {
    Box box;
    Recorder r;
    auto token = box.addObserver("level", r.callback());
    box.willChangeValueForKey("level");
    box.setLevel(1);
    box.setLevel(2);
    EXPECT_TRUE(r.changes.empty());
    box.didChangeValueForKey("level");
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0].oldValue, Value(0));
    EXPECT_EQ(r.changes[0].newValue, Value(2));

    EXPECT_THROW(box.didChangeValueForKey("level"), AssertionFailure) << "did-change without will-change";
}

TEST(Observation, ListChangesDeliverKindAndIndexes) {
    struct Case {
        Kind kind;
        std::vector<size_t> indexes;
        std::vector<size_t> delivered;
    };
    const Case cases[] = {
        {Kind::Insertion, {3}, {3}},
        {Kind::Removal, {4, 0, 2}, {0, 2, 4}},
        {Kind::Replacement, {1, 1}, {1}},
    };
    for (const Case& k : cases) {
        Box box;
        Recorder r;
        auto token = box.addObserver("items", r.callback());
        box.willChange(k.kind, k.indexes, "items");
        box.didChange(k.kind, k.indexes, "items");
        ASSERT_EQ(r.changes.size(), 1u);
        EXPECT_EQ(r.changes[0].kind, k.kind);
        EXPECT_EQ(r.changes[0].indexes, k.delivered);
    }

    Box box;
    Recorder r;
    auto token = box.addObserver("items", r.callback());
    box.insertItem(7, 0);
    box.insertItem(8, 1);
    ASSERT_EQ(r.changes.size(), 2u);
    EXPECT_EQ(r.changes[1].indexes, std::vector<size_t>{1});
    EXPECT_EQ(box.items, (std::vector<int>{7, 8}));
}

TEST(Observation, InitialOptionCallsOnceRightAway) {
    Box box;
    box.level = 9;
    Recorder plain, initial;
    auto t1 = box.addObserver("level", plain.callback());
    auto t2 = box.addObserver("level", initial.callback(), ObservingInitial);
    EXPECT_TRUE(plain.changes.empty());
    ASSERT_EQ(initial.changes.size(), 1u);
    EXPECT_TRUE(initial.changes[0].initial);
    EXPECT_EQ(initial.changes[0].newValue, Value(9));
    box.setLevel(10);
    EXPECT_EQ(initial.changes.size(), 2u);
    EXPECT_EQ(plain.changes.size(), 1u);
}

TEST(Observation, DestroyingTheTokenRemovesTheObserver) {
    Box box;
    Recorder r;
    {
        auto token = box.addObserver("level", r.callback());
        EXPECT_TRUE(token.isActive());
        ObservationToken moved = std::move(token);
        EXPECT_FALSE(token.isActive());
        box.setLevel(1);
    }
    box.setLevel(2);
    EXPECT_EQ(r.changes.size(), 1u);

    auto token = box.addObserver("level", r.callback());
    token.invalidate();
    box.setLevel(3);
    EXPECT_EQ(r.changes.size(), 1u);
}

TEST(Observation, CallbacksMayRemoveObserversIncludingThemselves) {
    Box box;
    int selfCalls = 0, laterCalls = 0, addedCalls = 0;
    ObservationToken self, later, added;
    self = box.addObserver("level", [&](const KeyValueChange&) {
        ++selfCalls;
        self = ObservationToken();  // destroys this very callback's registration
        later.invalidate();         // an observer not yet told of this change
        added = box.addObserver("level", [&](const KeyValueChange&) { ++addedCalls; });
    });
    later = box.addObserver("level", [&](const KeyValueChange&) { ++laterCalls; });
    box.setLevel(1);
    box.setLevel(2);
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(laterCalls, 0);
    EXPECT_EQ(addedCalls, 1) << "an observer added during a notice hears the next change only";
}

TEST(Observation, TokensOutliveTheObservedObject) {
    ObservationToken token;
    Recorder r;
    {
        Box box;
        token = box.addObserver("level", r.callback());
    }
    EXPECT_FALSE(token.isActive());
    token.invalidate();
}

TEST(Observation, AnObserverMayReleaseTheObservedObject) {
    auto box = std::make_shared<Box>();
    int after = 0;
    auto t1 = box->addObserver("level", [&](const KeyValueChange&) { box.reset(); });
    auto t2 = box->addObserver("level", [&](const KeyValueChange&) { ++after; });
    box->setLevel(1);
    EXPECT_EQ(box, nullptr);
    EXPECT_EQ(after, 1);
}

TEST(Observation, ACopyHasNoneOfTheOriginalsObservers) {
    Box box;
    Recorder r;
    auto token = box.addObserver("level", r.callback());
    Box copy = box;
    copy.setLevel(5);
    EXPECT_TRUE(r.changes.empty());
    copy = box;
    copy.setLevel(6);
    box.setLevel(1);
    EXPECT_EQ(r.changes.size(), 1u);
}

}  // namespace
