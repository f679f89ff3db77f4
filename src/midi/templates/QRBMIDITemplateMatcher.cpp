#include "midi/templates/QRBMIDITemplateMatcher.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace {

using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;

// The part of `ranges` inside [first, end).
Ranges intersect(const Ranges& ranges, uint32_t first, uint32_t end) {
    Ranges out;
    for (const auto& [a, b] : ranges) {
        const uint32_t lo = std::max(a, first), hi = std::min(b, end);
        if (lo < hi) out.emplace_back(lo, hi);
    }
    return out;
}

// [first, end) without `taken` (sorted, disjoint).
Ranges subtract(uint32_t first, uint32_t end, const Ranges& taken) {
    Ranges out;
    uint32_t at = first;
    for (const auto& [a, b] : taken) {
        if (b <= at) continue;
        if (a >= end) break;
        if (a > at) out.emplace_back(at, a);
        at = std::max(at, b);
        if (at >= end) break;
    }
    if (at < end) out.emplace_back(at, end);
    return out;
}

// `ranges` without [first, end).
void remove(Ranges& ranges, uint32_t first, uint32_t end) {
    Ranges out;
    for (const auto& [a, b] : ranges) {
        if (b <= first || a >= end) {
            out.emplace_back(a, b);
            continue;
        }
        if (a < first) out.emplace_back(a, first);
        if (b > end) out.emplace_back(end, b);
    }
    ranges = std::move(out);
}

bool holds(const foundation::Data& received, const foundation::Data& mask, const foundation::Data& bits) {
    if (received.size() >= mask.size()) return false;
    for (size_t i = 0; i < received.size(); ++i)
        if ((received[i] & mask[i]) != bits[i]) return false;
    return true;
}

}  // namespace

QRBMIDITemplateMatcher::QRBMIDITemplateMatcher(const std::vector<QRBMIDITemplatePtr>& templates) {
    for (const auto& t : templates) {
        if (!t || !t->shouldTestInputMatching() || t->templateBytes().empty()) continue;
        Entry entry;
        entry.templ = t;
        entry.mask = t->inputMatchMask();
        entry.bits = t->inputMatchBits();
        entry.length = static_cast<uint32_t>(entry.mask.size());
        entries_.push_back(std::move(entry));
    }

    // The tree, first with its children in maps, then laid out.
    struct Building {
        uint32_t depth = 0;
        std::vector<uint32_t> ends;                                // entries whose path ends here
        std::map<std::pair<uint8_t, uint8_t>, uint32_t> children;  // (mask, bits) → node
    };
    std::vector<Building> building(1);
    for (uint32_t e = 0; e < entries_.size(); ++e) {
        const Entry& entry = entries_[e];
        const uint32_t depth = std::min(entry.length, kIndexDepth);
        uint32_t node = 0;
        for (uint32_t i = 0; i < depth; ++i) {
            const auto key = std::make_pair(entry.mask[i], entry.bits[i]);
            auto found = building[node].children.find(key);
            if (found == building[node].children.end()) {
                building.push_back({});
                building.back().depth = i + 1;
                found = building[node].children.emplace(key, uint32_t(building.size() - 1)).first;
            }
            node = found->second;
        }
        building[node].ends.push_back(e);
    }

    // Tree order: a node's own templates, then each child's, depth first.
    nodes_.resize(building.size());
    entryAtOrder_.reserve(entries_.size());
    std::vector<std::pair<uint32_t, bool>> stack{{0, false}};
    while (!stack.empty()) {
        auto [index, leaving] = stack.back();
        stack.pop_back();
        Node& node = nodes_[index];
        if (leaving) {
            node.end = uint32_t(entryAtOrder_.size());
            continue;
        }
        const Building& b = building[index];
        node.depth = b.depth;
        node.first = uint32_t(entryAtOrder_.size());
        for (uint32_t e : b.ends) {
            entries_[e].order = uint32_t(entryAtOrder_.size());
            entryAtOrder_.push_back(e);
        }
        node.endsEnd = uint32_t(entryAtOrder_.size());
        stack.push_back({index, true});
        for (auto it = b.children.rbegin(); it != b.children.rend(); ++it) stack.push_back({it->second, false});
        for (const auto& [key, child] : b.children) node.edges.push_back({key.first, key.second, child});
    }
}

template <class F> void QRBMIDITemplateMatcher::forEachChild(const Node& node, uint8_t byte, F&& f) const {
    // The edges are sorted by mask and then bits: for each mask, the one edge that holds the masked
    // byte, found by bisection.
    auto at = node.edges.begin();
    const auto end = node.edges.end();
    while (at != end) {
        const uint8_t mask = at->mask;
        auto groupEnd = std::partition_point(at, end, [mask](const Edge& e) { return e.mask == mask; });
        const uint8_t wanted = byte & mask;
        auto found =
            std::lower_bound(at, groupEnd, wanted, [](const Edge& e, uint8_t value) { return e.bits < value; });
        if (found != groupEnd && found->bits == wanted) f(found->child);
        at = groupEnd;
    }
}

foundation::Data QRBMIDITemplateMatcher::receivedSince(uint64_t start) const {
    foundation::Data bytes;
    bytes.reserve(size_t(position_ - start));
    for (uint64_t p = start; p < position_; ++p) bytes.push_back(recent_[p % kIndexDepth]);
    return bytes;
}

QRBMIDITemplateMatcher::Ranges QRBMIDITemplateMatcher::busy() const {
    Ranges taken;
    for (const Group& group : groups_) taken.insert(taken.end(), group.members.begin(), group.members.end());
    for (const Single& single : singles_) {
        const uint32_t order = entries_[single.entry].order;
        taken.emplace_back(order, order + 1);
    }
    std::sort(taken.begin(), taken.end());
    return taken;  // disjoint: a template is in one match at a time
}

QRBOSCMessagePtr QRBMIDITemplateMatcher::complete(uint32_t entry, const foundation::Data& received) {
    return entries_[entry].templ->buildMatchingOSCMessageWithReceivedData(received);
}

void QRBMIDITemplateMatcher::matchByte(uint8_t byte, std::vector<QRBOSCMessagePtr>& messages) {
    if (entries_.empty()) return;
    const uint64_t here = position_;
    recent_[here % kIndexDepth] = byte;
    ++position_;
    completed_.clear();
    nextGroups_.clear();

    // Who may start with this byte is decided before any match moves on: a template whose match
    // this byte breaks is still busy with it.
    bool starts = false;
    forEachChild(nodes_[0], byte, [&](uint32_t) { starts = true; });
    const Ranges taken = starts ? busy() : Ranges{};

    for (const Group& group : groups_) {
        forEachChild(nodes_[group.node], byte, [&](uint32_t child) {
            Ranges members = intersect(group.members, nodes_[child].first, nodes_[child].end);
            if (!members.empty()) nextGroups_.push_back({child, group.start, std::move(members)});
        });
    }

    for (auto it = singles_.begin(); it != singles_.end();) {
        const Entry& entry = entries_[it->entry];
        const size_t at = it->received.size();
        if (it->breaksAtNextByte || at >= entry.length || (byte & entry.mask[at]) != entry.bits[at]) {
            it = singles_.erase(it);
            continue;
        }
        it->received.push_back(byte);
        if (it->received.size() == entry.length) {
            completed_.emplace_back(it->entry, complete(it->entry, it->received));
            it = singles_.erase(it);
            continue;
        }
        ++it;
    }

    if (starts) {
        forEachChild(nodes_[0], byte, [&](uint32_t child) {
            Ranges members = subtract(nodes_[child].first, nodes_[child].end, taken);
            if (!members.empty()) nextGroups_.push_back({child, here, std::move(members)});
        });
    }

    // Templates whose path ends where a group now stands leave it: complete, or on their own.
    for (Group& group : nextGroups_) {
        const Node& node = nodes_[group.node];
        if (node.endsEnd == node.first) continue;
        const Ranges ending = intersect(group.members, node.first, node.endsEnd);
        if (ending.empty()) continue;
        const foundation::Data received = receivedSince(group.start);
        for (const auto& [a, b] : ending) {
            for (uint32_t order = a; order < b; ++order) {
                const uint32_t e = entryAtOrder_[order];
                if (entries_[e].length == node.depth)
                    completed_.emplace_back(e, complete(e, received));
                else
                    singles_.push_back({e, received, false});
            }
        }
        remove(group.members, node.first, node.endsEnd);
    }
    nextGroups_.erase(std::remove_if(nextGroups_.begin(), nextGroups_.end(),
                                     [](const Group& group) { return group.members.empty(); }),
                      nextGroups_.end());
    groups_.swap(nextGroups_);

    std::sort(completed_.begin(), completed_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [entry, message] : completed_)
        if (message) messages.push_back(std::move(message));
}

std::vector<QRBMIDITemplateMatcher::PartialMatch> QRBMIDITemplateMatcher::partialMatches() const {
    std::vector<PartialMatch> matches;
    for (const Group& group : groups_) {
        const foundation::Data received = receivedSince(group.start);
        for (const auto& [a, b] : group.members)
            for (uint32_t order = a; order < b; ++order)
                matches.push_back({entries_[entryAtOrder_[order]].templ.get(), received, false});
    }
    for (const Single& single : singles_)
        matches.push_back({entries_[single.entry].templ.get(), single.received, single.breaksAtNextByte});
    return matches;
}

void QRBMIDITemplateMatcher::takeOverPartialMatches(const QRBMIDITemplateMatcher& previous) {
    std::unordered_map<const QRBMIDITemplate*, uint32_t> entryOf;
    for (uint32_t e = 0; e < entries_.size(); ++e) entryOf.emplace(entries_[e].templ.get(), e);
    for (auto& match : previous.partialMatches()) {
        auto found = entryOf.find(match.templ);
        if (found == entryOf.end()) continue;  // gone from the collection, or no longer matching
        const Entry& entry = entries_[found->second];
        if (!match.breaksAtNextByte && holds(match.received, entry.mask, entry.bits))
            singles_.push_back({found->second, std::move(match.received), false});
        else
            singles_.push_back({found->second, {}, true});
    }
}
