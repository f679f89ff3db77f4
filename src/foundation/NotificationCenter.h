#pragma once
// Named notifications, delivered synchronously on the posting thread to the observers whose name
// and object match.
//
// An observer is registered for a name (or any name) and an object (or any object) and stays
// registered while the token it got lives. Observers may be added and removed while a
// notification is being delivered: one removed during a delivery is not called afterwards in it,
// one added is first called for the next post. The center may be used from any thread; callbacks
// run without its lock. An exception thrown by an observer reaches the poster.

#include "foundation/Identity.h"
#include "foundation/Value.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace foundation {

// Posted (object null) when the application is about to quit, so that settings and documents can
// be saved.
inline constexpr const char* kApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";

// The identity of a notification's object (its sender). Objects are compared by identity only.
class NotificationObject {
public:
    NotificationObject() = default;
    NotificationObject(std::nullptr_t) {}
    template <class T> NotificationObject(const T* object) : key_(identityKey(object)) {}
    template <class T> NotificationObject(const std::shared_ptr<T>& object) : key_(identityKey(object)) {}

    const void* key() const { return key_; }
    bool isNull() const { return key_ == nullptr; }
    bool operator==(const NotificationObject& other) const { return key_ == other.key_; }

private:
    const void* key_ = nullptr;
};

struct Notification {
    std::string name;
    NotificationObject object;
    Dictionary userInfo;
};

class NotificationCenter;

// Keeps an observer registered; destroying it or calling remove() unregisters it (also from
// inside the observer's own callback).
class [[nodiscard]] ObserverToken {
public:
    ObserverToken() = default;
    ObserverToken(ObserverToken&& other) noexcept = default;
    ObserverToken& operator=(ObserverToken&& other) noexcept;
    ObserverToken(const ObserverToken&) = delete;
    ObserverToken& operator=(const ObserverToken&) = delete;
    ~ObserverToken();

    void remove();
    bool isActive() const { return !entry_.expired(); }

private:
    friend class NotificationCenter;
    struct Entry;
    ObserverToken(std::weak_ptr<void> center, std::weak_ptr<Entry> entry)
        : center_(std::move(center)), entry_(std::move(entry)) {}

    std::weak_ptr<void> center_;
    std::weak_ptr<Entry> entry_;
};

class NotificationCenter {
public:
    using Callback = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process's center. Never destroyed, so observers removed during static destruction
    // still find it.
    static NotificationCenter& defaultCenter();

    // An empty name observes every name; a null object observes every object.
    ObserverToken addObserver(std::string_view name, NotificationObject object, Callback callback);

    void post(const Notification& notification);
    void post(std::string name, NotificationObject object = nullptr, Dictionary userInfo = {});

private:
    friend class ObserverToken;
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace foundation
