// The menu builder: nested collections become the exact item list, with headers, indentation,
// separators, alternates, the presence check and the delegate's last word.
#include "foundation/Exception.h"
#include "foundation/Object.h"
#include "ui/kit/QRBMenuBuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::string text(const foundation::Value& v) { return v.stringValue() ? *v.stringValue() : std::string(); }

using foundation::Array;
using foundation::Dictionary;
using foundation::Value;

class Marker : public foundation::Object {
public:
    std::string archivedClassName() const override { return "Marker"; }
};

// Titles strings by themselves; "alt:X" also gets the alternate "X (alternate)"; "nil" has no
// title; "present" stands for the object already in use, "CURRENT".
class StringDelegate : public QRBMenuBuilderDelegate {
public:
    std::optional<std::string> titleForObject(QRBMenuBuilder&, const Value& object) override {
        if (object.type() != Value::Type::String || text(object) == "nil") return std::nullopt;
        return text(object);
    }
    std::optional<std::string> alternateTitleForObject(QRBMenuBuilder&, const Value& object) override {
        if (object.type() == Value::Type::String && text(object).rfind("alt:", 0) == 0)
            return text(object) + " (alternate)";
        return std::nullopt;
    }
    Value representedObjectForObject(QRBMenuBuilder&, const Value& object) override {
        return Value("rep " + text(object));
    }
    std::optional<Value> checkPresenceByComparingObject(QRBMenuBuilder&, const Value& object) override {
        if (object.type() == Value::Type::String && text(object) == "present") return Value("CURRENT");
        return std::nullopt;
    }
    void menuBuilderWillFinish(QRBMenuBuilder& builder) override {
        ++finished;
        builder.addItemWithTitle("New...", "insertEventSource:").indentationLevel = 1;
    }
    int finished = 0;
};

// One item as a line: indentation, kind and flags, title, action and represented object.
std::string describe(const QRBMenuItem& item) {
    std::string line(item.indentationLevel * 2, ' ');
    if (item.kind == QRBMenuItem::Kind::Separator) return line + "---";
    line += item.title;
    if (!item.action.empty()) line += " -> " + item.action;
    if (!item.representedObject.isNull()) line += " [" + text(item.representedObject) + "]";
    if (!item.enabled) line += " (disabled)";
    if (item.alternate) line += " (alternate)";
    return line;
}

TEST(QRBMenuBuilder, NestedCollectionsBecomeTheExactItemList) {
    auto marker = std::make_shared<Marker>();
    StringDelegate delegate;
    QRBMenuBuilder builder;
    builder.setDelegate(&delegate);
    builder.setSeparatorMarker(marker);
    builder.setMenuItemAction("selectItemEventSource:");

    const Value collection = Array{
        "‒",
        marker,
        Array{"a", Array{"b"}},  // nested arrays flatten
        Dictionary{{"Group", Array{"c", "alt:d"}}, {"Another", Dictionary{{"Inner", "e"}}}},
        "nil",
        "present",
    };
    std::vector<QRBMenuItem> menu(1);
    menu[0].title = "Already there";
    builder.buildMenu(menu, collection);

    std::vector<std::string> lines;
    for (const QRBMenuItem& item : menu) lines.push_back(describe(item));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Already there",
                         "‒ -> selectItemEventSource: [rep ‒]",
                         "---",
                         "a -> selectItemEventSource: [rep a]",
                         "b -> selectItemEventSource: [rep b]",
                         // A dictionary's keys in its own order (sorted), each a disabled header.
                         "Another (disabled)",
                         "  Inner (disabled)",
                         "    e -> selectItemEventSource: [rep e]",
                         "Group (disabled)",
                         "  c -> selectItemEventSource: [rep c]",
                         "  alt:d -> selectItemEventSource: [rep alt:d]",
                         "  alt:d (alternate) -> selectItemEventSource: [rep alt:d] (alternate)",
                         // "nil" added nothing; "present" became the object in use.
                         "CURRENT -> selectItemEventSource: [rep CURRENT]",
                         "  New... -> insertEventSource:",
                     }));
    EXPECT_EQ(delegate.finished, 1);
    ASSERT_TRUE(builder.objectFound());
    EXPECT_EQ(text(*builder.objectFound()), "CURRENT");
}

TEST(QRBMenuBuilder, ABuildWithoutDelegateIsAProgrammingError) {
    QRBMenuBuilder builder;
    try {
        builder.newMenuForCollection(Array{"a"});
        FAIL() << "no assertion";
    } catch (const foundation::Exception& e) {
        EXPECT_NE(e.reason().find(QRBMenuBuilder::kDelegateMissing), std::string::npos) << e.reason();
    }
}

}  // namespace
