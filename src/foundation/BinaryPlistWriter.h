#pragma once
// Our own writer of the binary property-list form. libplist's writer keeps the objects it has
// written in a hash table of fixed size, so that writing grows with the square of the number of
// objects: a document of 20,000 contexts took seconds to save. This one writes in time linear in
// the number of objects: strings, keys and numbers are written once and shared, as other writers
// of the form do; containers and byte strings are written once for each one made.
//
// A large archive is built straight into BinaryPlistBuilder, without a libplist tree: making and
// walking a tree of small nodes cost more than the writing itself.

#include "foundation/Value.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

typedef void* plist_t;

namespace foundation {

// Builds the binary form as it goes: scalars are encoded the moment they are made, containers
// keep their references until finish(), which writes them and the tables after the scalars.
// Containers may be filled in any order, each one while others are being filled.
class BinaryPlistBuilder {
public:
    using Ref = uint64_t;  // an object of the property list

    BinaryPlistBuilder();

    Ref boolean(bool b);
    // Negative integers are passed as their two's complement and take eight bytes.
    Ref integer(uint64_t value);
    Ref real(double d);
    // Seconds since 1 January 2001.
    Ref date(double seconds);
    Ref uid(uint64_t value);
    Ref string(std::string_view s);
    Ref data(const uint8_t* bytes, size_t size);
    Ref array();
    Ref dictionary();

    void append(Ref array, Ref item);
    size_t arraySize(Ref array) const;
    // A key set again in the same dictionary: the archive holds it once, with the last value.
    void set(Ref dictionary, std::string_view key, Ref value);

    // The whole binary form with `top` as its top object. The builder is spent afterwards.
    Data finish(Ref top);

private:
    struct Container {
        Ref self;
        bool dictionary;
        std::vector<Ref> keys;  // dictionaries only
        std::vector<Ref> items;
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };

    Ref scalar(std::unordered_map<uint64_t, Ref>& shared, uint64_t key, size_t start);
    Ref newObject(uint64_t offset);
    Container& container(Ref ref);
    const Container& container(Ref ref) const;

    Data out_;                       // header and scalars so far
    std::vector<uint64_t> offsets_;  // by object; containers hold kContainer | their index until finish
    std::vector<Container> containers_;
    std::unordered_map<std::string, Ref, Hash, std::equal_to<>> strings_;
    std::unordered_map<uint64_t, Ref> integers_, reals_, dates_, uids_;
    Ref booleans_[2] = {~Ref{0}, ~Ref{0}};
};

// The binary form of the tree under `root`; empty when the tree holds a node the form has no
// place for.
Data writeBinaryPlist(plist_t root);

}  // namespace foundation
