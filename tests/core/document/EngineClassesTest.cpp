// The libraries register nothing when they load, so a class missing from the registration lists
// (FoundationClasses.cpp, EngineClasses.cpp) would decode as a stand-in that keeps its keys and
// does nothing, without any error. Every class the sources declare as archived or as an output
// must therefore be registered once the program's main has called registerEngineClasses().

#include "core/outputs/QRBEventSource.h"
#include "foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

struct DeclaredClasses {
    std::set<std::string> archived;  // FND_ARCHIVED_CLASS("name", parent)
    std::set<std::string> outputs;   // QRB_EVENT_SOURCE_CLASS("name", parent)
};

// The quoted names after each `macro("` in `text`.
void collectNames(const std::string& text, const std::string& macro, std::set<std::string>& names) {
    const std::string opening = macro + "(\"";
    for (size_t at = text.find(opening); at != std::string::npos; at = text.find(opening, at + 1)) {
        const size_t begin = at + opening.size();
        const size_t end = text.find('"', begin);
        if (end != std::string::npos) names.insert(text.substr(begin, end - begin));
    }
}

// The class names the headers under `root` declare.
DeclaredClasses declaredClasses(const std::filesystem::path& root) {
    DeclaredClasses found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".h") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        collectNames(text.str(), "FND_ARCHIVED_CLASS", found.archived);
        collectNames(text.str(), "QRB_EVENT_SOURCE_CLASS", found.outputs);
    }
    return found;
}

// Classes that archives only name as an ancestor of another class, never as an object's own
// class: nothing is made from them. The program's own MIDI ports are made by the MIDI layer
// when it starts, never from a document, which names them through their descriptors. The MIDI
// template tree's element and the template substitution are abstract bases.
const std::set<std::string> kOnlyAncestors = {
    "QRBMessage",           "QRBMIDIElement",          "QRBMIDISubstitution",   "TarnMIDIEndpoint",
    "TarnMIDIRealEndpoint", "TarnMIDIVirtualEndpoint", "TarnMIDIVirtualSource", "TarnMIDIVirtualDestination"};

}  // namespace

TEST(EngineClassesTest, EveryDeclaredArchivedClassAndOutputIsRegistered) {
    const DeclaredClasses declared = declaredClasses(QUORBITAL_SOURCE_TREE);
    // The walk itself works: it finds a class of foundation and an output of the engine.
    ASSERT_TRUE(declared.archived.count("NSSortDescriptor"));
    ASSERT_TRUE(declared.outputs.count("QRBRouteEventSource"));

    const auto& registry = foundation::ClassRegistry::shared();
    for (const std::string& name : declared.archived) {
        if (kOnlyAncestors.count(name)) continue;
        EXPECT_TRUE(registry.isRegistered(name)) << name << " is not in a registration function";
    }
    for (const std::string& name : declared.outputs) {
        if (!kOnlyAncestors.count(name)) {
            EXPECT_TRUE(registry.isRegistered(name)) << name << " is not registered for archives";
        }
        const QRBEventSourceClass* cls = QRBEventSourceClass::classNamed(name);
        EXPECT_TRUE(cls && cls->name() == name) << name << " is not registered as an output type";
    }
    EXPECT_NE(QRBEventSourceClass::classNamed(QRBEventSource::kArchivedClassName), nullptr);
}
