// A document's bytes entering the decoder: any input decodes or raises ArchiveError. Besides the
// plain root object, the input is decoded the way a document is (the manager under "QRBLib",
// with the class substitutions), so that whole documents in the corpus reach the manager, preset
// and context decoders.
#include "document/EngineClasses.h"
#include "document/QRBManager.h"
#include "document/QuorbitalCore.h"
#include "foundation/KeyedArchiver.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registerEngineClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    foundation::Data bytes(data, data + size);
    try {
        foundation::KeyedUnarchiver::unarchiveObjectWithData(bytes);
    } catch (const foundation::ArchiveError&) {}
    try {
        auto unarchiver = QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(bytes);
        if (auto manager = QuorbitalCore::decodeOSCManager(*unarchiver)) manager->close();
    } catch (const foundation::ArchiveError&) {}
    return 0;
}
