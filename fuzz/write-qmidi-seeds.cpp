// Writes template collection files for the seed corpus of fuzz_qmidi: templates with every kind
// of substitution, so that every decoder of a collection is reached from the first run.
//
//   quorbital-write-qmidi-seeds [folder]   (by default fuzz/corpus/qmidi)

#include "document/EngineClasses.h"
#include "foundation/Exception.h"
#include "midi/templates/QRBMIDICollection.h"
#include "midi/templates/QRBMIDISubstitution.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace {

QRBMIDITemplatePtr makeTemplate(const std::string& name, foundation::Data bytes,
                                std::vector<QRBMIDISubstitutionPtr> substitutions) {
    auto t = std::make_shared<QRBMIDITemplate>();
    t->setName(name);
    t->setTemplateBytes(bytes);
    std::vector<size_t> indexes;
    for (size_t i = 0; i < substitutions.size(); ++i) indexes.push_back(i);
    t->insertSubstitutions(substitutions, indexes);
    t->setShouldTestInputMatching(true);
    return t;
}

QRBMIDICollectionPtr makeCollection(const std::string& name, std::vector<QRBMIDITemplatePtr> templates) {
    auto c = std::make_shared<QRBMIDICollection>();
    c->setName(name);
    std::vector<size_t> indexes;
    for (size_t i = 0; i < templates.size(); ++i) indexes.push_back(i);
    c->insertTemplates(templates, indexes);
    return c;
}

void write(const std::string& path, const std::vector<QRBMIDICollectionPtr>& collections) {
    const foundation::Data data = QRBMIDICollection::exchangeDataWithCollections(collections);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

}  // namespace

int main(int argc, char** argv) {
    registerEngineClasses();
    const std::string folder = argc > 1 ? argv[1] : QUORBITAL_SEEDS_FOLDER;
    using Byte = QRBMIDIByteSubstitution;
    try {
        auto fader = makeTemplate(
            "Fader", {0xB0, 0x07, 0x00},
            {Byte::make(Byte::Channel, 0, 15, {0, 4}, 0, 0), Byte::make(Byte::Number, 0, 127, {0, 7}, 0, 2)});
        write(folder + "/desk.qmidi", {makeCollection("Desk", {fader})});

        auto dump = makeTemplate(
            "Dump", {0xF0, 0x41, 0x10, 0x42, 0x12, 0x00, 0x00, 0x00, 0x00, 0xF7},
            {Byte::make(Byte::Number, 0, 16383, {0, 7}, 0, 5), Byte::make(Byte::Number, 0, 16383, {7, 7}, 0, 6),
             QRBMIDIChecksumSubstitution::make(QRBMIDIChecksumSubstitution::NegatedSum, 1, 7, 8)});
        auto name =
            makeTemplate("Name", {0xF0, 0x43, 0x20, 0x20, 0x20, 0x20, 0xF7}, {QRBMIDITextSubstitution::make(2, 6)});
        auto program = makeTemplate("Program", {0xC0, 0x00}, {Byte::make(Byte::Number, 0, 127, {0, 7}, 0, 1)});
        write(folder + "/synths.qmidi", {makeCollection("Roland", {dump}), makeCollection("Yamaha", {name, program})});
    } catch (const foundation::Exception& e) {
        std::fprintf(stderr, "Could not write the seeds: %s: %s\n", e.name().c_str(), e.reason().c_str());
        return 1;
    }
    return 0;
}
