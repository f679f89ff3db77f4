#pragma once
// Identity keys for "this object" comparisons (notification senders, the targets of delayed
// performs). A polymorphic object is keyed by the address of its most-derived object, so the same
// object seen through different base classes gives the same key.

#include <memory>
#include <type_traits>

namespace foundation {

template <class T> const void* identityKey(const T* p) {
    if constexpr (std::is_polymorphic_v<T>) {
        return p ? dynamic_cast<const void*>(p) : nullptr;
    } else {
        return static_cast<const void*>(p);
    }
}

template <class T> const void* identityKey(const std::shared_ptr<T>& p) {
    return identityKey(static_cast<const T*>(p.get()));
}

}  // namespace foundation
