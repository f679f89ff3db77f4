#pragma once
// Reads a touch-controller layout file (extension "touchosc") into OSC routes: each control of
// the layout that sends OSC becomes one route whose rewrite address is the control's address,
// ready for the document's route list.
//
// A layout file is a zip archive holding the layout as XML. Every entry is read in archive order
// and the concatenation is parsed as one XML stream, so a second document after the first ends
// the parse: its controls are not read. Of the XML only these count:
//   layout  version   integer; above 8, the names and addresses below are Base64 of UTF-8 text
//   tabpage name      its integer value becomes the current page number
//   control name      the control's name
//   control osc_cs    the control's address; empty or missing gives "/<page>/<name>"
// Controls before the first page, or on a page whose name is not a positive number, give
// nothing; controls sharing an address give one route, in the order of their first appearance.
//
// The file is untrusted: a file that is not a zip archive, or not XML, gives no routes; a value
// that does not decode (bad Base64, bad UTF-8) counts as empty; and no more than
// kMaximumLayoutSize bytes are ever unpacked, so that a small archive that unpacks to gigabytes
// gives no routes instead of exhausting memory. Layouts use no document type declaration, so one
// (and with it every entity definition, the way a few kilobytes expand to gigabytes) refuses the
// layout; so does nesting deeper than kMaximumNesting, and the parser's own memory together with
// the addresses kept growing past kMaximumLayoutSize. A control whose address is longer than
// kMaximumAddressLength gives no route. Each of these is logged once, naming the file; anything
// else wrong gives an empty answer without a word.
//
// A decoder serves one import. Main thread only; it blocks while it reads.

#include "document/QRBRouteEventSource.h"

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

class TouchOSCFileDecoder {
public:
    // The most bytes the entries of one layout may unpack to, all entries together.
    static constexpr size_t kMaximumLayoutSize = 64u * 1024u * 1024u;
    // Real layouts nest four deep (layout, tabpage, control, and a control's own parts); the cap
    // leaves room for any future writer while keeping a pile of open tags from costing memory.
    static constexpr size_t kMaximumNesting = 64;
    // Far beyond any address a person types into a layout, and well within one UDP datagram.
    static constexpr size_t kMaximumAddressLength = 4096;

    // Nothing is read yet.
    explicit TouchOSCFileDecoder(std::string path);

    // Reads the file: the routes of its controls, possibly none.
    std::vector<QRBRouteEventSourcePtr> decodeRoutes();
    bool hasAlreadyAddedRouteWithAddress(const std::string& address) const;
    // An attribute's text as the layout's version stores it: unchanged up to version 8, decoded
    // from Base64 above; empty when that fails or the bytes are not UTF-8.
    std::string decodeString(const std::string& text) const;

    // The start of an XML element with its attributes.
    void startElement(const std::string& name, const std::vector<std::pair<std::string, std::string>>& attributes);
    // Counts a control left out for its address's length.
    size_t overlongAddresses() const { return overlongAddresses_; }
    // The bytes the kept addresses hold, counted against the layout's cap.
    size_t keptAddressBytes() const { return keptAddressBytes_; }

    long version() const { return version_; }
    long currentTabpage() const { return currentTabpage_; }

private:
    std::string path_;
    std::vector<QRBRouteEventSourcePtr> routes_;
    // The addresses of routes_, so that a layout of tens of thousands of controls costs one
    // look-up per control and not a walk over every route made so far.
    std::unordered_set<std::string> addressesSeen_;
    size_t overlongAddresses_ = 0;
    size_t keptAddressBytes_ = 0;
    long currentTabpage_ = 0;
    long version_ = 0;
};
