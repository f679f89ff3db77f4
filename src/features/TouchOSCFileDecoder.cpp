#include "features/TouchOSCFileDecoder.h"

#include "foundation/Format.h"
#include "foundation/Log.h"
#include "zz/Base64.h"

#include <expat.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

namespace {

// Large, because expat scans a token that spans chunks again from its start with every chunk: a
// long attribute read in small chunks would cost its length squared over the chunk size.
constexpr size_t kReadChunk = 1024 * 1024;

// The leading integer of a text as the layout's writer meant it: white space skipped, an
// optional sign, then digits up to the first other character; 0 without digits, and the nearest
// limit when the digits overflow.
long integerValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const int digit = text[i] - '0';
        if (negative) {
            if (value < (LONG_MIN + digit) / 10) return LONG_MIN;
            value = value * 10 - digit;
        } else {
            if (value > (LONG_MAX - digit) / 10) return LONG_MAX;
            value = value * 10 + digit;
        }
    }
    return value;
}

// Base64 as the newer layouts write it: only the standard alphabet, padding only at the end.
// (The shared decoder reads stray characters as zero bits, which would turn a damaged name into
// a wrong one instead of none.)
bool isStrictBase64(const std::string& text) {
    if (text.size() % 4 != 0) return false;
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '/') return false;
    }
    return true;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF) without NUL, which
// would cut an OSC address short.
bool isUsableUTF8(const std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t lead = bytes[i];
        if (lead == 0) return false;
        size_t length;
        uint32_t minimum;
        uint32_t code;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, minimum = 0x80, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, minimum = 0x800, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, minimum = 0x10000, code = lead & 0x07;
        } else {
            return false;
        }
        if (bytes.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// Why a layout was refused part-way; the first reason stops the parser.
enum class Refusal { none, doctype, nesting, memory };

// What expat allocates for one layout, counted against the layout's cap: the memory handlers
// below keep each block's size in front of it. Expat's handlers take no user data, so the budget
// of the parse under way is reached through a thread-local pointer (one import per thread at a
// time: the decoder blocks while it reads).
struct ParserBudget {
    size_t live = 0;
    size_t limit = 0;
    bool exceeded = false;
};
thread_local ParserBudget* currentBudget = nullptr;

constexpr size_t kBlockHeader = alignof(std::max_align_t);

void* countedMalloc(size_t size) {
    ParserBudget* budget = currentBudget;
    if (budget && (size > budget->limit || budget->live > budget->limit - size)) {
        budget->exceeded = true;
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
    if (!block) return nullptr;
    std::memcpy(block, &size, sizeof size);
    if (budget) budget->live += size;
    return block + kBlockHeader;
}

void countedFree(void* pointer) {
    if (!pointer) return;
    auto* block = static_cast<unsigned char*>(pointer) - kBlockHeader;
    size_t size;
    std::memcpy(&size, block, sizeof size);
    if (ParserBudget* budget = currentBudget) budget->live -= std::min(size, budget->live);
    std::free(block);
}

void* countedRealloc(void* pointer, size_t size) {
    if (!pointer) return countedMalloc(size);
    auto* block = static_cast<unsigned char*>(pointer) - kBlockHeader;
    size_t old;
    std::memcpy(&old, block, sizeof old);
    ParserBudget* budget = currentBudget;
    if (budget && size > old && (size - old > budget->limit || budget->live > budget->limit - (size - old))) {
        budget->exceeded = true;
        return nullptr;
    }
    auto* grown = static_cast<unsigned char*>(std::realloc(block, size + kBlockHeader));
    if (!grown) return nullptr;
    std::memcpy(grown, &size, sizeof size);
    if (budget) budget->live = budget->live - std::min(old, budget->live) + size;
    return grown + kBlockHeader;
}

const XML_Memory_Handling_Suite kCountedMemory{countedMalloc, countedRealloc, countedFree};

// Installs a budget for the parser made and freed within its lifetime.
class BudgetScope {
public:
    explicit BudgetScope(ParserBudget* budget) : previous_(currentBudget) { currentBudget = budget; }
    ~BudgetScope() { currentBudget = previous_; }
    BudgetScope(const BudgetScope&) = delete;
    BudgetScope& operator=(const BudgetScope&) = delete;

private:
    ParserBudget* previous_;
};

struct ParserState {
    TouchOSCFileDecoder* decoder;
    XML_Parser parser;
    ParserBudget* budget;
    size_t depth = 0;
    Refusal refusal = Refusal::none;
};

void refuse(ParserState* state, Refusal why) {
    if (state->refusal == Refusal::none) state->refusal = why;
    XML_StopParser(state->parser, XML_FALSE);
}

// Called by expat: nothing may be thrown through its frames.
void XMLCALL startElementHandler(void* userData, const XML_Char* name, const XML_Char** attributes) {
    auto* state = static_cast<ParserState*>(userData);
    if (++state->depth > TouchOSCFileDecoder::kMaximumNesting) {
        refuse(state, Refusal::nesting);
        return;
    }
    try {
        std::vector<std::pair<std::string, std::string>> pairs;
        for (size_t i = 0; attributes[i] && attributes[i + 1]; i += 2)
            pairs.emplace_back(attributes[i], attributes[i + 1]);
        state->decoder->startElement(name, pairs);
    } catch (const std::exception& e) {
        foundation::logf("The layout could not be read further: %s", e.what());
        XML_StopParser(state->parser, XML_FALSE);
        return;
    }
    // The routes kept so far share the parser's budget: a layout of many distinct long
    // addresses costs what a large parse would.
    const size_t kept = state->decoder->keptAddressBytes();
    if (kept > state->budget->limit || state->budget->live > state->budget->limit - kept)
        refuse(state, Refusal::memory);
}

void XMLCALL endElementHandler(void* userData, const XML_Char*) {
    auto* state = static_cast<ParserState*>(userData);
    if (state->depth > 0) --state->depth;
}

// Layouts never carry a document type declaration; one is where entity definitions would come
// from, so it refuses the layout before any of them is read.
void XMLCALL startDoctypeHandler(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    refuse(static_cast<ParserState*>(userData), Refusal::doctype);
}

void XMLCALL entityDeclarationHandler(void* userData, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                      const XML_Char*, const XML_Char*, const XML_Char*) {
    refuse(static_cast<ParserState*>(userData), Refusal::doctype);
}

struct ZipCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct ZipFileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
struct ParserFree {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

const std::string* attribute(const std::vector<std::pair<std::string, std::string>>& attributes, const char* name) {
    for (const auto& [key, value] : attributes)
        if (key == name) return &value;
    return nullptr;
}

}  // namespace

TouchOSCFileDecoder::TouchOSCFileDecoder(std::string path) : path_(std::move(path)) {}

std::vector<QRBRouteEventSourcePtr> TouchOSCFileDecoder::decodeRoutes() {
    routes_.clear();
    addressesSeen_.clear();
    overlongAddresses_ = 0;
    keptAddressBytes_ = 0;
    currentTabpage_ = 0;
    version_ = 0;

    int openError = 0;
    std::unique_ptr<zip_t, ZipCloser> archive(zip_open(path_.c_str(), ZIP_RDONLY, &openError));
    if (!archive) return {};
    ParserBudget budget;
    budget.limit = kMaximumLayoutSize;
    // Declared before the parser, so the parser is freed while its budget is still in place.
    BudgetScope budgetScope(&budget);
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate_MM(nullptr, &kCountedMemory, nullptr));
    if (!parser) return {};
    ParserState state{this, parser.get(), &budget};
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), startElementHandler, endElementHandler);
    XML_SetStartDoctypeDeclHandler(parser.get(), startDoctypeHandler);
    XML_SetEntityDeclHandler(parser.get(), entityDeclarationHandler);
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);

    // The entries are streamed through the parser rather than unpacked first: reading stops as
    // soon as the XML ends in an error (a second document, say), so what follows is never
    // unpacked at all.
    std::vector<char> chunk(kReadChunk);
    size_t unpacked = 0;
    bool parsing = true;
    bool tooLarge = false;
    const zip_int64_t entries = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t index = 0; index < entries && parsing; ++index) {
        std::unique_ptr<zip_file_t, ZipFileCloser> file(
            zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0));
        // An entry that cannot be opened (encrypted, an unknown compression) adds nothing.
        if (!file) continue;
        for (;;) {
            const zip_int64_t count = zip_fread(file.get(), chunk.data(), chunk.size());
            if (count <= 0) break;
            if (static_cast<size_t>(count) > kMaximumLayoutSize - unpacked) {
                tooLarge = true;
                parsing = false;
                break;
            }
            unpacked += static_cast<size_t>(count);
            if (XML_Parse(parser.get(), chunk.data(), static_cast<int>(count), XML_FALSE) != XML_STATUS_OK) {
                parsing = false;
                break;
            }
        }
    }
    if (parsing) XML_Parse(parser.get(), nullptr, 0, XML_TRUE);

    // Expat answers an allocation it was refused with an out-of-memory error; the budget tells
    // that apart from a real one.
    if (budget.exceeded && state.refusal == Refusal::none) state.refusal = Refusal::memory;
    switch (state.refusal) {
    case Refusal::none: break;
    case Refusal::doctype:
        foundation::logf(
            "The layout %s has a document type declaration, which layouts never use; nothing was "
            "imported.",
            path_.c_str());
        break;
    case Refusal::nesting:
        foundation::logf("The layout %s nests its elements more than %zu deep; nothing was imported.", path_.c_str(),
                         kMaximumNesting);
        break;
    case Refusal::memory:
        foundation::logf("The layout %s needs more than %zu bytes to read; nothing was imported.", path_.c_str(),
                         kMaximumLayoutSize);
        break;
    }
    if (tooLarge) {
        foundation::logf("The layout %s unpacks to more than %zu bytes; nothing was imported.", path_.c_str(),
                         kMaximumLayoutSize);
    }
    if (tooLarge || state.refusal != Refusal::none) {
        routes_.clear();
        addressesSeen_.clear();
        keptAddressBytes_ = 0;
    } else if (overlongAddresses_ > 0) {
        foundation::logf("The layout %s has %zu controls with an address longer than %zu bytes; they were left out.",
                         path_.c_str(), overlongAddresses_, kMaximumAddressLength);
    }
    return routes_;
}

bool TouchOSCFileDecoder::hasAlreadyAddedRouteWithAddress(const std::string& address) const {
    return addressesSeen_.count(address) != 0;
}

std::string TouchOSCFileDecoder::decodeString(const std::string& text) const {
    if (version_ <= 8) return text;
    if (!isStrictBase64(text)) return {};
    std::optional<std::vector<uint8_t>> bytes = Base64::decode(text);
    if (!bytes || !isUsableUTF8(*bytes)) return {};
    return std::string(bytes->begin(), bytes->end());
}

void TouchOSCFileDecoder::startElement(const std::string& name,
                                       const std::vector<std::pair<std::string, std::string>>& attributes) {
    if (name == "layout") {
        const std::string* version = attribute(attributes, "version");
        version_ = version ? integerValue(*version) : 0;
    } else if (name == "tabpage") {
        const std::string* page = attribute(attributes, "name");
        currentTabpage_ = page ? integerValue(decodeString(*page)) : 0;
    } else if (name == "control" && currentTabpage_ > 0) {
        const std::string* controlName = attribute(attributes, "name");
        const std::string* controlAddress = attribute(attributes, "osc_cs");
        const std::string decodedName = controlName ? decodeString(*controlName) : std::string();
        std::string address = controlAddress ? decodeString(*controlAddress) : std::string();
        if (address.empty()) address = foundation::format("/%ld/%s", currentTabpage_, decodedName.c_str());
        if (address.size() > kMaximumAddressLength) {
            ++overlongAddresses_;
            return;
        }
        if (!addressesSeen_.insert(address).second) return;
        keptAddressBytes_ += 2 * address.size();  // the route's copy and the set's
        auto route = std::make_shared<QRBRouteEventSource>();
        route->setRewriteAddress(address);
        routes_.push_back(std::move(route));
    }
}
