// A template collection file (".qmidi") someone sent: any input decodes or raises ArchiveError.
// What decodes is then used as the program uses it: every template matches a stream made of all
// the templates' bytes, each builds its output for a value, and the collections are written and
// read back.
#include "document/EngineClasses.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/osc/QRBArg.h"
#include "foundation/KeyedArchiver.h"
#include "midi/templates/QRBMIDICollection.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registerEngineClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<QRBMIDICollectionPtr> collections;
    try {
        collections = QRBMIDICollection::collectionsWithExchangeData(foundation::Data(data, data + size));
    } catch (const foundation::ArchiveError&) {
        return 0;
    }
    auto action = std::make_shared<QRBConcreteAction>();
    action->setType(&QRBMIDITemplate::staticClass());
    action->setChannel(3);
    action->setInputArgValue(*QRBArg::argWithFloatValue(0.5f));
    foundation::Data stream;
    for (const auto& collection : collections) {
        for (const auto& t : collection->templateList()) {
            t->setShouldTestInputMatching(true);
            stream.insert(stream.end(), t->templateBytes().begin(), t->templateBytes().end());
            t->buildOutputMessage(*action);
        }
    }
    QRBMIDICollection::matchMessage(collections, stream);
    try {
        QRBMIDICollection::collectionsWithExchangeData(QRBMIDICollection::exchangeDataWithCollections(collections));
    } catch (const foundation::ArchiveError&) {
        __builtin_trap();  // what was read and written must read back
    }
    return 0;
}
