#include "foundation/BinaryPlistCheck.h"

#include "foundation/BinaryPlistFormat.h"
#include "foundation/Format.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace foundation {

namespace {

using bplist::kHeaderSize;
using bplist::kTrailerSize;
using bplist::readBigEndian;

// The binary form: objects after the header, then a table of their offsets, then a trailer that
// gives the sizes of offsets and references, the number of objects, the top object and where the
// table starts. Containers (arrays, sets, dictionaries) hold references, which are indexes into
// the offset table.
class BinaryWalk {
public:
    BinaryWalk(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    std::optional<std::string> run() {
        if (size_ < kHeaderSize + kTrailerSize) return "binary property list too short";
        objectsEnd_ = size_ - kTrailerSize;
        const uint8_t* trailer = data_ + objectsEnd_;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        const uint64_t objectCount = readBigEndian(trailer + 8, 8);
        const uint64_t top = readBigEndian(trailer + 16, 8);
        tableStart_ = readBigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            return "binary property list with a damaged trailer";
        if (objectCount == 0 || top >= objectCount) return "binary property list without a top object";
        if (tableStart_ < kHeaderSize || tableStart_ > objectsEnd_ ||
            objectCount > (objectsEnd_ - tableStart_) / offsetSize_)
            return "binary property list whose offset table lies outside the file";
        objectCount_ = objectCount;

        // Every reference in the file, counted once: what a reader that shares nothing holds.
        uint64_t references = 0;
        for (uint64_t i = 0; i < objectCount_; ++i) {
            Container c;
            if (auto error = container(i, c)) return error;
            references += c.references;
        }
        const uint64_t maxExpanded = references * kMaxPlistExpansionFactor + kPlistExpansionAllowance;

        // How many objects each one expands to in a reader that copies what is shared, and how
        // many containers deep it goes, found once per object depth first from the top object
        // (with a stack of our own instead of recursion) and reused wherever it is shared: a
        // walk of every copy would take as long as the copying it guards against, which for
        // a large file of honest sharing is itself long.
        enum class Visit : uint8_t { Unseen, Open, Done };
        std::vector<Visit> visit(objectCount_, Visit::Unseen);
        std::vector<uint16_t> height(objectCount_, 0);    // non-empty containers on the deepest path down
        std::vector<uint64_t> expanded(objectCount_, 0);  // up to maxExpanded + 1
        const auto nested = [] {
            return format("binary property list nested more than %zu levels deep", kMaxPlistNesting);
        };
        const auto bomb = [&] {
            return format("binary property list expands to more than %llu objects (a reference bomb)",
                          (unsigned long long)maxExpanded);
        };
        struct Frame {
            uint64_t index;
            Container c;
            uint64_t next = 0;
            uint64_t expanded = 1;  // itself, then each child's as it is done
            uint16_t height = 1;
        };
        std::vector<Frame> stack;
        Container root;
        if (auto error = container(top, root)) return error;
        if (!root.references) return std::nullopt;
        stack.push_back({top, root});
        visit[top] = Visit::Open;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.c.references) {
                visit[frame.index] = Visit::Done;
                height[frame.index] = frame.height;
                expanded[frame.index] = frame.expanded;
                const Frame done = frame;
                stack.pop_back();
                if (!stack.empty()) {
                    Frame& parent = stack.back();
                    parent.expanded = std::min(parent.expanded + done.expanded, maxExpanded + 1);
                    parent.height = std::max<uint16_t>(parent.height, done.height + 1);
                }
                continue;
            }
            const uint64_t child = readBigEndian(data_ + frame.c.refsStart + frame.next * refSize_, refSize_);
            ++frame.next;
            if (child >= objectCount_)
                return format("binary property list refers to object %llu of %llu", (unsigned long long)child,
                              (unsigned long long)objectCount_);
            if (visit[child] == Visit::Open) return nested();  // a container inside itself: no end to its depth
            if (visit[child] == Visit::Unseen) {
                Container c;
                if (auto error = container(child, c)) return error;
                if (c.references) {
                    if (stack.size() >= kMaxPlistNesting) return nested();
                    visit[child] = Visit::Open;
                    stack.push_back({child, c});
                    continue;
                }
                visit[child] = Visit::Done;
                expanded[child] = 1;
            }
            frame.expanded = std::min(frame.expanded + expanded[child], maxExpanded + 1);
            if (height[child]) frame.height = std::max<uint16_t>(frame.height, height[child] + 1);
            if (stack.size() + height[child] > kMaxPlistNesting) return nested();
            if (frame.expanded > maxExpanded) return bomb();
        }
        if (expanded[top] > maxExpanded) return bomb();
        return std::nullopt;
    }

private:
    struct Container {
        uint64_t refsStart = 0;
        uint64_t references = 0;  // zero for anything that is not a container
    };

    // Reads object `index`'s marker; for a container, where its references are and how many.
    std::optional<std::string> container(uint64_t index, Container& out) const {
        const uint64_t offset = readBigEndian(data_ + tableStart_ + index * offsetSize_, offsetSize_);
        if (offset < kHeaderSize || offset >= objectsEnd_)
            return format("binary property list object %llu outside the file", (unsigned long long)index);
        const uint8_t marker = data_[offset];
        const uint8_t kind = marker >> 4;
        out = Container();
        if (kind != 0xA && kind != 0xC && kind != 0xD) return std::nullopt;
        uint64_t count = marker & 0x0F;
        uint64_t pos = offset + 1;
        if (count == 0x0F) {
            // The count follows as an integer object of 1, 2, 4 or 8 bytes.
            if (pos >= objectsEnd_ || (data_[pos] & 0xF0) != 0x10 || (data_[pos] & 0x0F) > 3)
                return "binary property list container with a damaged count";
            const size_t width = size_t{1} << (data_[pos] & 0x0F);
            ++pos;
            if (width > objectsEnd_ - pos) return "binary property list container with a damaged count";
            count = readBigEndian(data_ + pos, width);
            pos += width;
        }
        const uint64_t perEntry = kind == 0xD ? 2 : 1;
        const uint64_t room = (objectsEnd_ - pos) / refSize_;
        if (count > room / perEntry) return "binary property list container larger than the file";
        out.refsStart = pos;
        out.references = count * perEntry;
        return std::nullopt;
    }

    const uint8_t* data_;
    size_t size_;
    uint64_t objectsEnd_ = 0;
    uint64_t tableStart_ = 0;
    uint64_t objectCount_ = 0;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
};

bool startsWith(const uint8_t* p, const uint8_t* end, const char* text) {
    const size_t n = std::strlen(text);
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, text, n) == 0;
}

const uint8_t* skipPast(const uint8_t* p, const uint8_t* end, const char* text) {
    const size_t n = std::strlen(text);
    for (; static_cast<size_t>(end - p) >= n; ++p) {
        if (std::memcmp(p, text, n) == 0) return p + n;
    }
    return end;
}

// The XML form cannot share a node, so only its nesting needs a bound: the depth of <array> and
// <dict> elements, skipping comments, processing instructions and character data.
std::optional<std::string> checkXML(const uint8_t* p, const uint8_t* end) {
    size_t depth = 0;
    while (p < end) {
        if (*p != '<') {
            ++p;
            continue;
        }
        if (startsWith(p, end, "<!--")) {
            p = skipPast(p + 4, end, "-->");
            continue;
        }
        if (startsWith(p, end, "<![CDATA[")) {
            p = skipPast(p + 9, end, "]]>");
            continue;
        }
        if (startsWith(p, end, "<?")) {
            p = skipPast(p + 2, end, "?>");
            continue;
        }
        ++p;
        const bool closing = p < end && *p == '/';
        if (closing) ++p;
        const uint8_t* name = p;
        while (p < end && ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) ++p;
        const size_t length = static_cast<size_t>(p - name);
        const bool container =
            (length == 5 && std::memcmp(name, "array", 5) == 0) || (length == 4 && std::memcmp(name, "dict", 4) == 0);
        const uint8_t* close = p;
        while (close < end && *close != '>') ++close;
        const bool empty = close > p && close < end && close[-1] == '/';
        p = close < end ? close + 1 : end;
        if (!container || empty) continue;
        if (closing) {
            if (depth > 0) --depth;
        } else if (++depth > kMaxPlistNesting) {
            return format("property list nested more than %zu levels deep", kMaxPlistNesting);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> checkPropertyListData(const uint8_t* data, size_t size) {
    if (size >= kHeaderSize && std::memcmp(data, "bplist00", kHeaderSize) == 0) return BinaryWalk(data, size).run();
    return checkXML(data, data + size);
}

}  // namespace foundation
