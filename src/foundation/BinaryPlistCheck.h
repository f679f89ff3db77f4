#pragma once
// A check of property-list data before libplist sees it. libplist reads the binary form
// recursively, one call per level of nesting, and copies a container again for every reference
// to it: a file nested 100,000 deep overflows the stack, and a few hundred bytes whose arrays
// each refer to the next one twice expand to more nodes than memory holds. This walks the binary
// form's tables itself, without recursion, and refuses such data before it is parsed; for the
// XML form it bounds the nesting of its containers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace foundation {

// Containers may nest this deep; keyed archives and settings nest fewer than ten levels.
constexpr size_t kMaxPlistNesting = 512;
// A reference to a container is expanded by the reader into a copy; in all the references of a
// file expanded this many times over (plus a small allowance) only a reference bomb ends up.
constexpr uint64_t kMaxPlistExpansionFactor = 8;
constexpr uint64_t kPlistExpansionAllowance = 4096;

// Why the data may not be parsed, or none when it may. `data` is the whole file; binary data
// starts with "bplist00", anything else is taken for XML.
std::optional<std::string> checkPropertyListData(const uint8_t* data, size_t size);

}  // namespace foundation
