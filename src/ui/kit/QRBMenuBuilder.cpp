#include "ui/kit/QRBMenuBuilder.h"

#include "foundation/Exception.h"
#include "foundation/Log.h"

#include <sstream>

void QRBMenuBuilder::buildMenu(std::vector<QRBMenuItem>& menu, const foundation::Value& collection) {
    if (!delegate_) FND_INTERNAL_ERROR(kDelegateMissing);
    indentationLevel_ = 0;
    menu_ = &menu;
    // The menu is let go however the build ends.
    struct Release {
        std::vector<QRBMenuItem>*& menu;
        ~Release() { menu = nullptr; }
    } release{menu_};
    build(collection);
    delegate_->menuBuilderWillFinish(*this);
}

std::vector<QRBMenuItem> QRBMenuBuilder::newMenuForCollection(const foundation::Value& collection) {
    std::vector<QRBMenuItem> menu;
    buildMenu(menu, collection);
    return menu;
}

QRBMenuItem& QRBMenuBuilder::addItemWithTitle(const std::string& title, const std::string& action) {
    FND_ASSERT(menu_ != nullptr);
    QRBMenuItem item;
    item.title = title;
    item.action = action;
    item.indentationLevel = indentationLevel_;
    menu_->push_back(std::move(item));
    return menu_->back();
}

void QRBMenuBuilder::addSeparator() {
    FND_ASSERT(menu_ != nullptr);
    QRBMenuItem item;
    item.kind = QRBMenuItem::Kind::Separator;
    item.indentationLevel = indentationLevel_;
    menu_->push_back(std::move(item));
}

void QRBMenuBuilder::build(const foundation::Value& collection) {
    switch (collection.type()) {
    case foundation::Value::Type::Array:
        for (const foundation::Value& element : *collection.arrayValue()) build(element);
        return;
    case foundation::Value::Type::Dictionary:
        for (const auto& [key, value] : *collection.dictionaryValue()) {
            addItemWithTitle(key, "").enabled = false;
            ++indentationLevel_;
            build(value);
            --indentationLevel_;
        }
        return;
    default: addMenuItemForObject(collection);
    }
}

void QRBMenuBuilder::addMenuItemForObject(const foundation::Value& given) {
    foundation::Value object = given;
    if (auto present = delegate_->checkPresenceByComparingObject(*this, object)) {
        objectFound_ = *present;
        object = *present;
    }
    if (separatorMarker_ && object.type() == foundation::Value::Type::Object &&
        object.objectValue() == separatorMarker_) {
        addSeparator();
        return;
    }
    const std::optional<std::string> title = delegate_->titleForObject(*this, object);
    const std::optional<std::string> alternate = delegate_->alternateTitleForObject(*this, object);
    if (!title) {
        std::ostringstream text;
        text << object;
        foundation::logf(kNilTitleWarning, text.str().c_str());
        return;
    }
    const foundation::Value represented = delegate_->representedObjectForObject(*this, object);
    addItemWithTitle(*title, menuItemAction_).representedObject = represented;
    if (alternate) {
        QRBMenuItem& item = addItemWithTitle(*alternate, menuItemAction_);
        item.representedObject = represented;
        item.alternate = true;
    }
}
