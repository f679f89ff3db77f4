// A route's argument-token text entering the parser: any text parses or is refused, and what
// parses edits as a text that parses back to an equal token.
#include "core/outputs/QRBArgToken.h"
#include "document/EngineClasses.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registerEngineClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    QRBArgTokenPtr token = QRBArgToken::parseArgToken(text);
    if (!token) return 0;
    token->displayString();
    if (auto edit = token->editingString()) {
        QRBArgTokenPtr again = QRBArgToken::parseArgToken(*edit);
        if (!again || !again->isEqualToArgToken(*token)) std::abort();
    }
    return 0;
}
