#include "features/QRBContextFilter.h"

#include "core/mapping/QRBContext.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

namespace {

// A text as the address condition compares it: case folded (full folding, so "ß" meets "ss"),
// then decomposed, then stripped of its non-spacing marks, so "É", "é" and "e" are one letter.
// Folding before decomposing lets the decomposition see the marks that folding brings out.
icu::UnicodeString foldedForSearch(const std::string& utf8) {
    icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    text.foldCase(U_FOLD_CASE_DEFAULT);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* decomposition = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return text;
    const icu::UnicodeString decomposed = decomposition->normalize(text, status);
    if (U_FAILURE(status)) return text;
    icu::UnicodeString folded;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) folded.append(c);
        i += U16_LENGTH(c);
    }
    return folded;
}

}  // namespace

QRBContextFilterPtr QRBContextFilter::contextFilterWithMode(unsigned long mode,
                                                            const std::optional<std::string>& address) {
    return std::make_shared<QRBContextFilter>(mode, address);
}

QRBContextFilter::QRBContextFilter(unsigned long mode, const std::optional<std::string>& address)
    : mode_(mode), address_(address) {
    // The conditions are fixed here, and the text folded once: the window tests every context of
    // the list against the same filter.
    std::optional<bool> assigned;
    if (mode == kAssigned) assigned = true;
    if (mode == kUnassigned) assigned = false;
    std::optional<icu::UnicodeString> part;
    if (address && !address->empty()) part = foldedForSearch(*address);
    predicate_ = [assigned, part](const QRBContext& context) {
        if (assigned && context.hasAssignedEventSource() != *assigned) return false;
        if (part && foldedForSearch(context.address()).indexOf(*part) < 0) return false;
        return true;
    };
}

bool QRBContextFilter::test(const QRBContext& context) const { return !predicate_ || predicate_(context); }
