// The undoable, observed to-many list: each edit's notice (kind and index) and its inverse
// through the owner's own operations, undo and redo of each kind of edit, naming of the step,
// owners without an undo manager or already gone, and misuse that must leave everything as it was.

#include "foundation/Exception.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/UndoManager.h"
#include "foundation/UndoableList.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

using namespace foundation;
using Kind = KeyValueChangeKind;

namespace {

struct Item {
    std::string name;
};
using ItemPtr = std::shared_ptr<Item>;

// An owner as the models write them: its own named operations, delegating to the list, and a
// log of every call of them (so the tests see that undo and redo go through them too).
class Shelf : public Object, public Observable {
public:
    static constexpr const char* kItemsKey = "items";

    explicit Shelf(std::string actionName = {})
        : items_(kItemsKey,
                 {.insert = &Shelf::insertObject,
                  .remove = &Shelf::removeObjectFromItemsAtIndex,
                  .replace = &Shelf::replaceObjectInItemsAtIndex},
                 std::move(actionName)) {}

    const std::shared_ptr<UndoManager>& undoManager() const { return undo_; }
    void setUndoManager(std::shared_ptr<UndoManager> undo) { undo_ = std::move(undo); }

    void insertObject(const ItemPtr& item, size_t index) {
        calls.push_back("insert " + (item ? item->name : "null") + "@" + std::to_string(index));
        // Bookkeeping that observers must find done: the count the shelf keeps of its own.
        items_.insert(*this, item, index, [&] { ++bookkept; });
    }
    void removeObjectFromItemsAtIndex(size_t index) {
        calls.push_back("remove @" + std::to_string(index));
        items_.remove(*this, index, [&] { --bookkept; });
    }
    void replaceObjectInItemsAtIndex(size_t index, const ItemPtr& item) {
        calls.push_back("replace " + item->name + "@" + std::to_string(index));
        items_.replace(*this, index, item);
    }

    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& item : items_) result.push_back(item->name);
        return result;
    }

    UndoableList<Shelf, Item> items_;
    int bookkept = 0;
    std::vector<std::string> calls;

private:
    std::shared_ptr<UndoManager> undo_;
};

ItemPtr item(std::string name) { return std::make_shared<Item>(Item{std::move(name)}); }

// What an observer saw: the change, the list and the bookkeeping at the time it was told.
struct Notice {
    Kind kind;
    std::vector<size_t> indexes;
    std::vector<std::string> names;
    int bookkept;
    bool operator==(const Notice&) const = default;
};

void PrintTo(const Notice& n, std::ostream* os) {
    *os << static_cast<int>(n.kind) << " @";
    for (size_t i : n.indexes) *os << i << " ";
    *os << "[";
    for (const auto& name : n.names) *os << name << " ";
    *os << "] " << n.bookkept;
}

// A shelf holding a, b, c with an undo manager, observed; the fill is neither undoable nor heard.
class UndoableListTest : public ::testing::Test {
protected:
    std::shared_ptr<UndoManager> undo = std::make_shared<UndoManager>();
    std::shared_ptr<Shelf> shelf = std::make_shared<Shelf>();
    std::vector<Notice> notices;
    ObservationToken token;

    void SetUp() override { fill(); }
    void fill() {
        undo = std::make_shared<UndoManager>();
        shelf = std::make_shared<Shelf>();
        notices.clear();
        shelf->items_.assign({item("a"), item("b")});
        shelf->items_.append(item("c"));
        shelf->bookkept = 3;
        shelf->setUndoManager(undo);
        token = shelf->addObserver(Shelf::kItemsKey, [this](const KeyValueChange& change) {
            notices.push_back({change.kind, change.indexes, shelf->names(), shelf->bookkept});
        });
    }
    // One user event.
    void event(const std::function<void()>& edit) {
        edit();
        undo->closeEventGroup();
    }
};

TEST_F(UndoableListTest, EachEditIsAnnouncedAndUndoneAndRedoneThroughTheOwner) {
    using Names = std::vector<std::string>;
    struct Case {
        const char* what;
        std::function<void(Shelf&)> edit;
        Names after;
        Notice done;          // the notice of the edit, and of its redo
        Notice undone;        // the notice of its undo
        std::string inverse;  // the owner's operation the undo calls
    };
    const Names start{"a", "b", "c"};
    const Case cases[] = {
        {"insert at the front",
         [](Shelf& s) { s.insertObject(item("x"), 0); },
         {"x", "a", "b", "c"},
         {Kind::Insertion, {0}, {"x", "a", "b", "c"}, 4},
         {Kind::Removal, {0}, start, 3},
         "remove @0"},
        {"insert in the middle",
         [](Shelf& s) { s.insertObject(item("x"), 2); },
         {"a", "b", "x", "c"},
         {Kind::Insertion, {2}, {"a", "b", "x", "c"}, 4},
         {Kind::Removal, {2}, start, 3},
         "remove @2"},
        {"insert at the end",
         [](Shelf& s) { s.insertObject(item("x"), 3); },
         {"a", "b", "c", "x"},
         {Kind::Insertion, {3}, {"a", "b", "c", "x"}, 4},
         {Kind::Removal, {3}, start, 3},
         "remove @3"},
        {"remove the first",
         [](Shelf& s) { s.removeObjectFromItemsAtIndex(0); },
         {"b", "c"},
         {Kind::Removal, {0}, {"b", "c"}, 2},
         {Kind::Insertion, {0}, start, 3},
         "insert a@0"},
        {"remove the last",
         [](Shelf& s) { s.removeObjectFromItemsAtIndex(2); },
         {"a", "b"},
         {Kind::Removal, {2}, {"a", "b"}, 2},
         {Kind::Insertion, {2}, start, 3},
         "insert c@2"},
        {"replace",
         [](Shelf& s) { s.replaceObjectInItemsAtIndex(1, item("x")); },
         {"a", "x", "c"},
         {Kind::Replacement, {1}, {"a", "x", "c"}, 3},
         {Kind::Replacement, {1}, start, 3},
         "replace b@1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fill();

        event([&] { c.edit(*shelf); });
        EXPECT_EQ(shelf->names(), c.after);
        EXPECT_EQ(notices, std::vector<Notice>{c.done});

        notices.clear();
        shelf->calls.clear();
        undo->undo();
        EXPECT_EQ(shelf->names(), start);
        EXPECT_EQ(notices, std::vector<Notice>{c.undone});
        EXPECT_EQ(shelf->calls, std::vector<std::string>{c.inverse});

        notices.clear();
        undo->redo();
        EXPECT_EQ(shelf->names(), c.after);
        EXPECT_EQ(notices, std::vector<Notice>{c.done});
        EXPECT_FALSE(undo->canRedo());
    }
}

TEST_F(UndoableListTest, TheSameElementComesBackWhereItWas) {
    const ItemPtr b = shelf->items_.at(1);
    event([&] {
        shelf->removeObjectFromItemsAtIndex(1);
        shelf->removeObjectFromItemsAtIndex(0);
    });
    EXPECT_EQ(shelf->names(), std::vector<std::string>{"c"});
    // One step; its inverses run in reverse order, so each index is right when it is used.
    undo->undo();
    EXPECT_EQ(shelf->names(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(shelf->items_.at(1), b);
    EXPECT_EQ(shelf->items_.indexOf(b), 1u);
    EXPECT_EQ(shelf->items_.indexOf(item("b")), (UndoableList<Shelf, Item>::kNotFound)) << "identity, not equality";
}

TEST(UndoableList, ANamedRelationNamesItsStepsButNotWhileUndoing) {
    auto undo = std::make_shared<UndoManager>();
    auto named = std::make_shared<Shelf>("Add Item");
    auto unnamed = std::make_shared<Shelf>();
    named->setUndoManager(undo);
    unnamed->setUndoManager(undo);

    named->insertObject(item("x"), 0);
    undo->closeEventGroup();
    EXPECT_EQ(undo->undoActionName(), "Add Item");
    undo->undo();
    EXPECT_EQ(undo->redoActionName(), "Add Item");

    // Without a name of its own, the list leaves the one the caller gave.
    undo->beginUndoGrouping();
    undo->setActionName("Delete");
    unnamed->insertObject(item("y"), 0);
    undo->endUndoGrouping();
    EXPECT_EQ(undo->undoActionName(), "Delete");
}

TEST(UndoableList, OwnersWithoutAnUndoManagerOrAlreadyGone) {
    // No undo manager: the edit and its notice, nothing else (not even a need to be shared).
    Shelf plain;
    int heard = 0;
    auto token = plain.addObserver(Shelf::kItemsKey, [&](const KeyValueChange&) { ++heard; });
    plain.insertObject(item("x"), 0);
    plain.removeObjectFromItemsAtIndex(0);
    EXPECT_EQ(heard, 2);
    EXPECT_TRUE(plain.items_.empty());

    // The undo stack does not keep the owner alive, and undoing after it is gone does nothing.
    auto undo = std::make_shared<UndoManager>();
    auto shelf = std::make_shared<Shelf>();
    std::weak_ptr<Shelf> weak = shelf;
    shelf->setUndoManager(undo);
    shelf->insertObject(item("x"), 0);
    undo->closeEventGroup();
    shelf.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_NO_THROW(undo->undo());
}

TEST_F(UndoableListTest, MisuseIsRefusedBeforeAnythingChanges) {
    struct Case {
        const char* what;
        std::function<void(Shelf&)> edit;
        std::string reason;
    };
    const Case cases[] = {
        {"insert past the end", [](Shelf& s) { s.insertObject(item("x"), 4); }, "index <= count"},
        {"insert nothing", [](Shelf& s) { s.insertObject(nullptr, 0); }, "element != nullptr"},
        {"remove past the end", [](Shelf& s) { s.removeObjectFromItemsAtIndex(3); }, "index < count"},
        {"replace past the end", [](Shelf& s) { s.replaceObjectInItemsAtIndex(3, item("x")); }, "index < count"},
        {"read past the end", [](Shelf& s) { (void)s.items_.at(3); }, "index < count"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            c.edit(*shelf);
            ADD_FAILURE() << "no assertion";
        } catch (const AssertionFailure& e) {
            EXPECT_EQ(e.reason(), "Invalid parameter not satisfying: " + c.reason);
        }
        EXPECT_EQ(shelf->names(), (std::vector<std::string>{"a", "b", "c"}));
        EXPECT_TRUE(notices.empty());
        EXPECT_FALSE(undo->canUndo());
    }
}

}  // namespace
