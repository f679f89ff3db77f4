// A target destination as a user types it: any text is accepted as a protocol, host and port
// within range, or refused with an error text.
#include "core/osc/QRBTarget.h"
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
    std::string error;
    auto spec = QRBTarget::parseTargetSpec(text, &error);
    if (spec && (spec->port < 1 || spec->port > 65535 || spec->host.empty())) std::abort();
    if (!spec && !text.empty() && error.empty()) std::abort();
    return 0;
}
