#include "foundation/Observation.h"

#include "foundation/Exception.h"

#include <algorithm>
#include <utility>

namespace foundation {
namespace detail {

// Shared between the observed object and the tokens, so that a token outliving the object
// finds the list gone instead of a dangling pointer.
class ObserverList {
public:
    struct Entry {
        uint64_t id;
        std::string key;
        KeyValueObserver callback;
        bool active = true;
    };

    uint64_t add(std::string key, KeyValueObserver callback) {
        uint64_t id = nextId_++;
        entries_.push_back(std::make_shared<Entry>(Entry{id, std::move(key), std::move(callback)}));
        return id;
    }

    bool contains(uint64_t id) const {
        return std::any_of(entries_.begin(), entries_.end(), [id](const auto& e) { return e->id == id; });
    }

    void remove(uint64_t id) {
        auto it = std::find_if(entries_.begin(), entries_.end(), [id](const auto& e) { return e->id == id; });
        if (it == entries_.end()) return;
        // The entry may be running right now (an observer removing itself): the notifier's
        // snapshot keeps it alive, the flag keeps it from being called again.
        (*it)->active = false;
        entries_.erase(it);
    }

    bool observes(const std::string& key) const {
        return std::any_of(entries_.begin(), entries_.end(), [&](const auto& e) { return e->key == key; });
    }

    // Observers added by a callback are not told of the change under way; observers removed by
    // one are not told any more.
    void notify(const KeyValueChange& change) {
        std::vector<std::shared_ptr<Entry>> targets;
        for (const auto& e : entries_)
            if (e->key == change.key) targets.push_back(e);
        for (const auto& e : targets)
            if (e->active) e->callback(change);
    }

    void call(uint64_t id, const KeyValueChange& change) {
        for (const auto& e : entries_)
            if (e->id == id) {
                auto keep = e;
                keep->callback(change);
                return;
            }
    }

private:
    std::vector<std::shared_ptr<Entry>> entries_;
    uint64_t nextId_ = 1;
};

}  // namespace detail

ObservationToken::ObservationToken(ObservationToken&& other) noexcept
    : list_(std::move(other.list_)), id_(std::exchange(other.id_, 0)) {
    other.list_.reset();
}

ObservationToken& ObservationToken::operator=(ObservationToken&& other) noexcept {
    if (this != &other) {
        invalidate();
        list_ = std::move(other.list_);
        other.list_.reset();
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void ObservationToken::invalidate() {
    // Cleared before removing, so that a callback destroyed by the removal that reaches this
    // token again finds it empty.
    auto list = list_.lock();
    list_.reset();
    uint64_t id = std::exchange(id_, 0);
    if (list) list->remove(id);
}

bool ObservationToken::isActive() const {
    auto list = list_.lock();
    return list && list->contains(id_);
}

Observable::Observable() : observers_(std::make_shared<detail::ObserverList>()) {}

Observable::Observable(const Observable&) : observers_(std::make_shared<detail::ObserverList>()) {}

Observable::~Observable() = default;

ObservationToken Observable::addObserver(std::string key, KeyValueObserver callback, unsigned options) {
    FND_PARAMETER_ASSERT(callback != nullptr);
    KeyValueChange initial;
    if (options & ObservingInitial) {
        initial.key = key;
        initial.newValue = observedValueForKey(key);
        initial.initial = true;
    }
    auto list = observers_;
    uint64_t id = list->add(std::move(key), std::move(callback));
    ObservationToken token(list, id);
    if (options & ObservingInitial) list->call(id, initial);
    return token;
}

void Observable::willChangeValueForKey(const std::string& key) { willChange(KeyValueChangeKind::Setting, {}, key); }

void Observable::didChangeValueForKey(const std::string& key) { didChange(KeyValueChangeKind::Setting, {}, key); }

void Observable::willChange(KeyValueChangeKind kind, std::vector<size_t> indexes, const std::string& key) {
    Pending& p = pending_[key];
    if (p.depth++ > 0) return;
    p.kind = kind;
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    p.indexes = std::move(indexes);
    if (kind == KeyValueChangeKind::Setting && observers_->observes(key)) p.oldValue = observedValueForKey(key);
}

// The kind and indexes given here are those of the matching will-change; the outermost pair's
// are delivered.
void Observable::didChange(KeyValueChangeKind kind, std::vector<size_t> indexes, const std::string& key) {
    auto it = pending_.find(key);
    if (it == pending_.end())
        FND_INTERNAL_ERROR("didChangeValueForKey: without a matching willChangeValueForKey for \"" + key + "\"");
    if (--it->second.depth > 0) return;
    Pending done = std::move(it->second);
    pending_.erase(it);

    auto list = observers_;
    if (!list->observes(key)) return;
    KeyValueChange change;
    change.key = key;
    change.kind = done.kind;
    change.indexes = std::move(done.indexes);
    if (done.kind == KeyValueChangeKind::Setting) {
        change.oldValue = std::move(done.oldValue);
        change.newValue = observedValueForKey(key);
    }
    // From here on this object may be destroyed by an observer; only the list is touched.
    list->notify(change);
}

}  // namespace foundation
