#pragma once
// Observation of an object's keys: the object announces its own changes, observers hear of
// them once the change is complete.
//
// A class that can be observed derives from Observable and brackets each change of an observed
// key with willChangeValueForKey / didChangeValueForKey (or willChange / didChange with the kind
// and indexes for a list). Nothing is announced automatically. Brackets for one key may nest;
// observers are told once, at the outermost did-change, so a change made of several steps is
// seen only when it is finished. When the class answers observedValueForKey, observers of a
// plain change get the values before and after it.
//
// addObserver returns a token; destroying the token removes the observer. Tokens may outlive
// the observed object and may be destroyed from inside a callback, their own included.
//
// Main thread only.

#include "foundation/Value.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace foundation {

enum class KeyValueChangeKind { Setting, Insertion, Removal, Replacement };

struct KeyValueChange {
    std::string key;
    KeyValueChangeKind kind = KeyValueChangeKind::Setting;
    // List changes: the affected positions, ascending (after an insertion, before a removal).
    std::vector<size_t> indexes;
    // Plain changes of a key the observed object answers in observedValueForKey; null otherwise.
    Value oldValue;
    Value newValue;
    // The call addObserver makes at once with ObservingInitial (only newValue is set).
    bool initial = false;
};

using KeyValueObserver = std::function<void(const KeyValueChange&)>;

enum ObservingOptions : unsigned {
    ObservingDefault = 0,
    // The callback is also called once right away, with the current value.
    ObservingInitial = 1u << 0,
};

namespace detail {
class ObserverList;
}

// Removes its observer when destroyed or invalidated. Move-only.
class ObservationToken {
public:
    ObservationToken() = default;
    ~ObservationToken() { invalidate(); }
    ObservationToken(ObservationToken&& other) noexcept;
    ObservationToken& operator=(ObservationToken&& other) noexcept;
    ObservationToken(const ObservationToken&) = delete;
    ObservationToken& operator=(const ObservationToken&) = delete;

    // Removes the observer now; the token becomes empty.
    void invalidate();
    // True while the observer is registered (false once the observed object is gone).
    bool isActive() const;

private:
    friend class Observable;
    ObservationToken(std::weak_ptr<detail::ObserverList> list, uint64_t id) : list_(std::move(list)), id_(id) {}

    std::weak_ptr<detail::ObserverList> list_;
    uint64_t id_ = 0;
};

class Observable {
public:
    Observable();
    virtual ~Observable();
    // A copy is a new object: it has neither the observers nor the changes under way of the
    // original, and assignment keeps the target's own.
    Observable(const Observable&);
    Observable& operator=(const Observable&) { return *this; }

    [[nodiscard]] ObservationToken addObserver(std::string key, KeyValueObserver callback,
                                               unsigned options = ObservingDefault);

    void willChangeValueForKey(const std::string& key);
    void didChangeValueForKey(const std::string& key);
    void willChange(KeyValueChangeKind kind, std::vector<size_t> indexes, const std::string& key);
    void didChange(KeyValueChangeKind kind, std::vector<size_t> indexes, const std::string& key);

protected:
    // The current value of an observed key, for the values delivered with a change; the default
    // answers null (observers then get only the key).
    virtual Value observedValueForKey(const std::string& key) const { return {}; }

private:
    struct Pending {
        int depth = 0;
        KeyValueChangeKind kind = KeyValueChangeKind::Setting;
        std::vector<size_t> indexes;
        Value oldValue;
    };

    std::shared_ptr<detail::ObserverList> observers_;
    std::map<std::string, Pending> pending_;
};

}  // namespace foundation
