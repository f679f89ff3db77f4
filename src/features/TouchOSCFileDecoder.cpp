#include "features/TouchOSCFileDecoder.h"

#include "foundation/Format.h"
#include "foundation/Log.h"
#include "zz/Base64.h"

#include <expat.h>
#include <zip.h>

#include <cctype>
#include <climits>
#include <exception>
#include <memory>

namespace {

constexpr size_t kReadChunk = 64 * 1024;

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

struct ParserState {
    TouchOSCFileDecoder* decoder;
    XML_Parser parser;
};

// Called by expat: nothing may be thrown through its frames.
void XMLCALL startElementHandler(void* userData, const XML_Char* name, const XML_Char** attributes) {
    auto* state = static_cast<ParserState*>(userData);
    try {
        std::vector<std::pair<std::string, std::string>> pairs;
        for (size_t i = 0; attributes[i] && attributes[i + 1]; i += 2)
            pairs.emplace_back(attributes[i], attributes[i + 1]);
        state->decoder->startElement(name, pairs);
    } catch (const std::exception& e) {
        foundation::logf("The layout could not be read further: %s", e.what());
        XML_StopParser(state->parser, XML_FALSE);
    }
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
    currentTabpage_ = 0;
    version_ = 0;

    int openError = 0;
    std::unique_ptr<zip_t, ZipCloser> archive(zip_open(path_.c_str(), ZIP_RDONLY, &openError));
    if (!archive) return {};
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) return {};
    ParserState state{this, parser.get()};
    XML_SetUserData(parser.get(), &state);
    XML_SetStartElementHandler(parser.get(), startElementHandler);

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

    if (tooLarge) {
        foundation::logf("The layout %s unpacks to more than %zu bytes; nothing was imported.", path_.c_str(),
                         kMaximumLayoutSize);
        routes_.clear();
    }
    return routes_;
}

bool TouchOSCFileDecoder::hasAlreadyAddedRouteWithAddress(const std::string& address) const {
    for (const auto& route : routes_)
        if (route->rewriteAddress() == address) return true;
    return false;
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
        if (hasAlreadyAddedRouteWithAddress(address)) return;
        auto route = std::make_shared<QRBRouteEventSource>();
        route->setRewriteAddress(address);
        routes_.push_back(std::move(route));
    }
}
