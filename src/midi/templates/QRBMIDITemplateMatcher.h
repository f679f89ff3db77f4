#pragma once
// Input matching of all the templates of one collection at once, with the result of feeding every
// received byte to each template in turn (QRBMIDITemplate::matchByte), at a cost that does not
// grow with the number of templates.
//
// A template's match of a run of bytes is decided byte by byte against its masks; templates with
// the same first bytes (under the same masks) decide those bytes alike. So the templates' first
// kIndexDepth bytes form a tree, each edge a mask and the masked value, and the templates that
// started matching at the same received byte walk it together as one group: a set of ranges of
// the tree's order, which every byte narrows to the child it leads to. A template leaves its group
// where its path ends: complete, or, when it is longer than the tree is deep, to be matched on its
// own from there. A received byte that no template's first byte takes costs a look-up and nothing
// more; one that starts a group costs one group, whatever number of templates it holds.
//
// The templates' own state is not used: a template matches as though it were fed every byte, with
// its partial match kept here. A template that is idle starts a match at a byte its first byte
// takes; one whose match a byte breaks does not start again with that byte.
//
// Made from the collection's templates as they are; the collection makes a new one when a template
// or the list changes, and the new one takes over the partial matches under way.
//
// Main thread only.

#include "core/osc/QRBOSCMessage.h"
#include "foundation/Value.h"
#include "midi/templates/QRBMIDITemplate.h"

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class QRBMIDITemplateMatcher {
public:
    // The depth of the shared tree; templates match on their own after that many bytes.
    static constexpr uint32_t kIndexDepth = 32;

    // Indexes the templates that test input matching and have bytes, in the given order.
    explicit QRBMIDITemplateMatcher(const std::vector<QRBMIDITemplatePtr>& templates);

    // The partial matches of `previous` (of the same collection before a change) go on here, for the
    // templates that still match input: each against its masks as they are now, and a match they
    // no longer allow ends with the next byte, which starts nothing.
    void takeOverPartialMatches(const QRBMIDITemplateMatcher& previous);

    // One received byte: the messages of the templates it completes, in template order, appended.
    void matchByte(uint8_t byte, std::vector<QRBOSCMessagePtr>& messages);

    struct PartialMatch {
        const QRBMIDITemplate* templ = nullptr;
        foundation::Data received;
        // The next byte ends this match whatever it is (the template changed under it).
        bool breaksAtNextByte = false;
    };
    // The matches under way, in no particular order.
    std::vector<PartialMatch> partialMatches() const;

private:
    using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;  // [first, end) of tree order, sorted

    struct Edge {
        uint8_t mask;
        uint8_t bits;
        uint32_t child;
    };
    struct Node {
        uint32_t depth = 0;
        // The templates under this node, in tree order: those whose path ends here come first.
        uint32_t first = 0, end = 0, endsEnd = 0;
        // Sorted by mask, then bits.
        std::vector<Edge> edges;
    };
    struct Entry {
        QRBMIDITemplatePtr templ;
        foundation::Data mask, bits;
        uint32_t length = 0;
        uint32_t order = 0;  // the template's place in tree order
    };
    // Templates that started at the same received byte and still walk the tree together.
    struct Group {
        uint32_t node;
        uint64_t start;  // the position of its first byte in the received stream
        Ranges members;
    };
    // A template matched on its own: longer than the tree, or taken over from an older matcher.
    struct Single {
        uint32_t entry;
        foundation::Data received;
        bool breaksAtNextByte = false;
    };

    template <class F> void forEachChild(const Node& node, uint8_t byte, F&& f) const;
    foundation::Data receivedSince(uint64_t start) const;
    Ranges busy() const;
    QRBOSCMessagePtr complete(uint32_t entry, const foundation::Data& received);

    std::vector<Entry> entries_;          // in the templates' order
    std::vector<uint32_t> entryAtOrder_;  // tree order → entry
    std::vector<Node> nodes_;             // nodes_[0] is the root
    std::vector<Group> groups_;
    std::vector<Single> singles_;
    std::array<uint8_t, kIndexDepth> recent_{};  // the last kIndexDepth bytes received
    uint64_t position_ = 0;                      // bytes received so far

    // Reused from byte to byte.
    std::vector<Group> nextGroups_;
    std::vector<std::pair<uint32_t, QRBOSCMessagePtr>> completed_;
};
