#pragma once
// One to-many relation of a model object (a document's presets, a preset's snapshots, the routes
// of a manager, ...): the ordered elements, and insertion, removal and replacement at an index
// that register their inverse on the owner's undo manager and announce the change to the owner's
// observers.
//
// The owner keeps its own operations (insertObject, removeObjectFrom<Relation>AtIndex, ...) and
// delegates to the list. The inverse of each edit calls those operations of the owner, not the
// list, so whatever the owner does around an edit (handing the element its undo manager, making
// a name unique, its own bookkeeping) happens again when the edit is undone or redone.
//
// Observers of the relation's key on the owner hear one Insertion, Removal or Replacement with
// the index of the change (after an insertion, before a removal), once the list already shows it.
// Item models turn those into rows inserted and removed.
//
// Owner: derives from foundation::Object (the inverse holds it weakly, so an undo stack never
// keeps a model alive) and from foundation::Observable, and answers undoManager() (null: the
// edits register nothing).
//
// Main thread only.

#include "foundation/Exception.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/UndoManager.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace foundation {

template <class Owner, class T> class UndoableList {
    struct NoStep {
        void operator()() const {}
    };

public:
    using Element = std::shared_ptr<T>;
    using const_iterator = typename std::vector<Element>::const_iterator;

    // The owner's operations on this relation, which the inverses call.
    struct Operations {
        void (Owner::*insert)(const Element& element, size_t index) = nullptr;
        void (Owner::*remove)(size_t index) = nullptr;
        // Only relations whose elements are replaced in place have one.
        void (Owner::*replace)(size_t index, const Element& element) = nullptr;
    };

    static constexpr size_t kNotFound = static_cast<size_t>(-1);

    // `key` is the observed key. A non-empty `actionName` names the undo step of each edit (not
    // while undoing or redoing, when the step keeps the name it had); empty leaves naming to the
    // window that asked for the edit.
    UndoableList(const char* key, Operations operations, std::string actionName = {})
        : key_(key), operations_(operations), actionName_(std::move(actionName)) {}

    // ---- reading
    const std::vector<Element>& elements() const { return elements_; }
    size_t size() const { return elements_.size(); }
    bool empty() const { return elements_.empty(); }
    const_iterator begin() const { return elements_.begin(); }
    const_iterator end() const { return elements_.end(); }
    const Element& front() const { return elements_.front(); }
    // Asserts that the index is below the count.
    const Element& at(size_t index) const {
        const size_t count = elements_.size();
        FND_PARAMETER_ASSERT(index < count);
        return elements_[index];
    }
    const Element& operator[](size_t index) const { return elements_[index]; }
    // By identity; kNotFound when absent.
    size_t indexOf(const Element& element) const {
        auto it = std::find(elements_.begin(), elements_.end(), element);
        return it == elements_.end() ? kNotFound : static_cast<size_t>(it - elements_.begin());
    }

    // ---- editing
    // The steps, in this order: the inverse (the owner's removal at `index`) is registered, the
    // element is inserted, `whileChanging` runs (owner bookkeeping that observers must find done),
    // observers are told.
    template <class Step = NoStep>
    void insert(Owner& owner, const Element& element, size_t index, Step&& whileChanging = Step{}) {
        const size_t count = elements_.size();
        FND_PARAMETER_ASSERT(element != nullptr);
        FND_PARAMETER_ASSERT(index <= count);
        registerInverse(owner, [remove = operations_.remove, index](Owner& self) { (self.*remove)(index); });
        owner.willChange(KeyValueChangeKind::Insertion, {index}, key_);
        elements_.insert(elements_.begin() + static_cast<std::ptrdiff_t>(index), element);
        whileChanging();
        owner.didChange(KeyValueChangeKind::Insertion, {index}, key_);
    }

    // The same steps as insert, with the owner's insertion of the removed element at `index` as
    // the inverse. Answers the removed element.
    template <class Step = NoStep> Element remove(Owner& owner, size_t index, Step&& whileChanging = Step{}) {
        const size_t count = elements_.size();
        FND_PARAMETER_ASSERT(index < count);
        Element element = elements_[index];
        registerInverse(owner,
                        [insert = operations_.insert, element, index](Owner& self) { (self.*insert)(element, index); });
        owner.willChange(KeyValueChangeKind::Removal, {index}, key_);
        elements_.erase(elements_.begin() + static_cast<std::ptrdiff_t>(index));
        whileChanging();
        owner.didChange(KeyValueChangeKind::Removal, {index}, key_);
        return element;
    }

    // Puts `element` in place of the one at `index`, with the owner's replacement by the old
    // element as the inverse. Answers the old element.
    Element replace(Owner& owner, size_t index, const Element& element) {
        const size_t count = elements_.size();
        FND_PARAMETER_ASSERT(element != nullptr);
        FND_PARAMETER_ASSERT(index < count);
        FND_ASSERT(operations_.replace != nullptr);
        Element old = elements_[index];
        registerInverse(owner,
                        [replace = operations_.replace, old, index](Owner& self) { (self.*replace)(index, old); });
        owner.willChange(KeyValueChangeKind::Replacement, {index}, key_);
        elements_[index] = element;
        owner.didChange(KeyValueChangeKind::Replacement, {index}, key_);
        return old;
    }

    // ---- without undo or notices: a model being built (decoding, an older document's parameters
    // converted), which nobody observes yet and whose making is not a step to undo.
    void assign(std::vector<Element> elements) { elements_ = std::move(elements); }
    void append(Element element) { elements_.push_back(std::move(element)); }

private:
    template <class Inverse> void registerInverse(Owner& owner, Inverse inverse) {
        const std::shared_ptr<UndoManager>& undo = owner.undoManager();
        if (!undo) return;
        std::weak_ptr<Owner> weak = std::static_pointer_cast<Owner>(owner.shared_from_this());
        undo->registerUndo(&owner, [weak, inverse] {
            if (auto self = weak.lock()) inverse(*self);
        });
        if (!actionName_.empty() && !undo->isUndoing() && !undo->isRedoing()) undo->setActionName(actionName_);
    }

    const char* key_;
    Operations operations_;
    std::string actionName_;
    std::vector<Element> elements_;
};

}  // namespace foundation
