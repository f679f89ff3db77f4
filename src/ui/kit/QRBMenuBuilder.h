#pragma once
// Turns a nested collection into a list of menu items through a delegate: arrays flatten,
// dictionaries give a disabled header per key with their values indented one level below it, the
// separator marker (by identity) gives a separator, and every other element one item titled by
// the delegate, followed by its alternate (shown while Control is held) when the delegate gives
// one. The item list is plain data, so it is tested without a display.
//
// Made per build. Main thread only.

#include "foundation/Value.h"

#include <optional>
#include <string>
#include <vector>

class QMenu;
class QRBMenuBuilder;

struct QRBMenuItem {
    enum class Kind { Item, Separator };
    Kind kind = Kind::Item;
    std::string title;
    std::string action;  // empty: no action (a section header)
    foundation::Value representedObject;
    unsigned indentationLevel = 0;
    bool enabled = true;
    // Replaces the item before it while Control is held.
    bool alternate = false;
};

class QRBMenuBuilderDelegate {
public:
    virtual ~QRBMenuBuilderDelegate() = default;
    virtual std::optional<std::string> titleForObject(QRBMenuBuilder& builder, const foundation::Value& object) = 0;
    virtual std::optional<std::string> alternateTitleForObject(QRBMenuBuilder& builder,
                                                               const foundation::Value& object) = 0;
    virtual foundation::Value representedObjectForObject(QRBMenuBuilder& builder, const foundation::Value& object) = 0;
    // The object to use in place of `object` when it stands for one already present (the
    // builder remembers it as objectFound); none otherwise.
    virtual std::optional<foundation::Value> checkPresenceByComparingObject(QRBMenuBuilder& builder,
                                                                            const foundation::Value& object) {
        return std::nullopt;
    }
    // Called once the collection is built, while items may still be added.
    virtual void menuBuilderWillFinish(QRBMenuBuilder& builder) {}
};

class QRBMenuBuilder {
public:
    static constexpr const char* kNilTitleWarning = "Warning: Attempt to add a menu item with a nil name (object: %s).";
    static constexpr const char* kDelegateMissing = "delegate cannot be nil";

    // Appends the collection's items to `menu`. A build without a delegate is a programming error.
    void buildMenu(std::vector<QRBMenuItem>& menu, const foundation::Value& collection);
    // A new item list filled from the collection.
    std::vector<QRBMenuItem> newMenuForCollection(const foundation::Value& collection);
    // Adds an item at the current indentation level (only while a build runs); answers it.
    QRBMenuItem& addItemWithTitle(const std::string& title, const std::string& action);
    void addSeparator();
    // Builds the items of one element, as for an element of a collection (only while a build runs).
    void addMenuItemForObject(const foundation::Value& object);

    QRBMenuBuilderDelegate* delegate() const { return delegate_; }
    void setDelegate(QRBMenuBuilderDelegate* delegate) { delegate_ = delegate; }
    const foundation::ObjectPtr& separatorMarker() const { return separatorMarker_; }
    void setSeparatorMarker(foundation::ObjectPtr marker) { separatorMarker_ = std::move(marker); }
    const std::string& menuItemAction() const { return menuItemAction_; }
    void setMenuItemAction(std::string action) { menuItemAction_ = std::move(action); }
    const std::optional<foundation::Value>& objectFound() const { return objectFound_; }
    unsigned indentationLevel() const { return indentationLevel_; }
    void setIndentationLevel(unsigned level) { indentationLevel_ = level; }

private:
    void build(const foundation::Value& collection);

    QRBMenuBuilderDelegate* delegate_ = nullptr;
    foundation::ObjectPtr separatorMarker_;
    std::string menuItemAction_;
    std::vector<QRBMenuItem>* menu_ = nullptr;
    std::optional<foundation::Value> objectFound_;
    unsigned indentationLevel_ = 0;
};
