#pragma once
// Our own writer of the binary property-list form. libplist's writer keeps the objects it has
// written in a hash table of fixed size, so that writing grows with the square of the number of
// objects: a document of 20,000 contexts took seconds to save. This one writes in time linear in
// the tree: strings, keys and numbers are written once and shared, as other writers of the form
// do; containers and byte strings are written once for each node.

#include "foundation/Value.h"

typedef void* plist_t;

namespace foundation {

// The binary form of the tree under `root`; empty when the tree holds a node the form has no
// place for.
Data writeBinaryPlist(plist_t root);

}  // namespace foundation
