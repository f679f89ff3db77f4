#include "foundation/NotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace foundation {

struct ObserverToken::Entry {
    std::string name;
    const void* object;
    NotificationCenter::Callback callback;
    std::atomic<bool> active{true};

    bool matches(const Notification& n) const {
        return (name.empty() || name == n.name) && (object == nullptr || object == n.object.key());
    }
};

struct NotificationCenter::Impl {
    std::mutex mutex;
    std::vector<std::shared_ptr<ObserverToken::Entry>> entries;

    void remove(const std::shared_ptr<ObserverToken::Entry>& entry) {
        std::shared_ptr<ObserverToken::Entry> removed;  // its callback goes after the lock
        std::lock_guard<std::mutex> lock(mutex);
        auto it = std::find(entries.begin(), entries.end(), entry);
        if (it == entries.end()) return;
        removed = std::move(*it);
        entries.erase(it);
    }
};

ObserverToken& ObserverToken::operator=(ObserverToken&& other) noexcept {
    if (this != &other) {
        remove();
        center_ = std::move(other.center_);
        entry_ = std::move(other.entry_);
    }
    return *this;
}

ObserverToken::~ObserverToken() { remove(); }

void ObserverToken::remove() {
    auto entry = entry_.lock();
    auto center = std::static_pointer_cast<NotificationCenter::Impl>(center_.lock());
    entry_.reset();
    center_.reset();
    if (!entry) return;
    // Cleared first, so that a delivery in progress skips this observer from now on.
    entry->active.store(false);
    if (center) center->remove(entry);
}

NotificationCenter::NotificationCenter() : impl_(std::make_shared<Impl>()) {}

NotificationCenter::~NotificationCenter() {
    // Tokens that outlive the center find it gone; their observers stop here.
    std::vector<std::shared_ptr<ObserverToken::Entry>> entries;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        entries.swap(impl_->entries);
    }
    for (auto& entry : entries) entry->active.store(false);
}

NotificationCenter& NotificationCenter::defaultCenter() {
    // Deliberately never destroyed: observers of objects destroyed during static destruction
    // unregister through it.
    static NotificationCenter* const center = new NotificationCenter();
    return *center;
}

ObserverToken NotificationCenter::addObserver(std::string_view name, NotificationObject object, Callback callback) {
    FND_PARAMETER_ASSERT(callback);
    auto entry = std::make_shared<ObserverToken::Entry>();
    entry->name = std::string(name);
    entry->object = object.key();
    entry->callback = std::move(callback);
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->entries.push_back(entry);
    }
    return ObserverToken(std::weak_ptr<void>(impl_), entry);
}

void NotificationCenter::post(const Notification& notification) {
    // The observers registered now; the snapshot keeps their callbacks alive while they run even
    // if they are removed meanwhile.
    std::vector<std::shared_ptr<ObserverToken::Entry>> observers;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (auto& entry : impl_->entries) {
            if (entry->matches(notification)) observers.push_back(entry);
        }
    }
    for (auto& entry : observers) {
        if (entry->active.load()) entry->callback(notification);
    }
}

void NotificationCenter::post(std::string name, NotificationObject object, Dictionary userInfo) {
    post(Notification{std::move(name), object, std::move(userInfo)});
}

}  // namespace foundation
