// The libraries register nothing when they load, so a class missing from the registration lists
// (FoundationClasses.cpp, EngineClasses.cpp) would decode as a stand-in that keeps its keys and
// does nothing, without any error. Every class the sources declare as archived or as an output
// must therefore be registered once the program's main has called registerEngineClasses().

#include "core/outputs/QRBEventSource.h"
#include "foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

struct DeclaredClasses {
    std::set<std::string> archived;  // FND_ARCHIVED_CLASS("name", ...)
    std::set<std::string> outputs;   // QRB_EVENT_SOURCE_CLASS("name", ...)
};

// The class names the headers under `root` declare.
DeclaredClasses declaredClasses(const std::filesystem::path& root) {
    static const std::regex archived(R"re(\bFND_ARCHIVED_CLASS\(\s*"([^"]+)")re");
    static const std::regex output(R"re(\bQRB_EVENT_SOURCE_CLASS\(\s*"([^"]+)")re");
    DeclaredClasses found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".h") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        const std::string s = text.str();
        for (std::sregex_iterator it(s.begin(), s.end(), archived), end; it != end; ++it) found.archived.insert((*it)[1]);
        for (std::sregex_iterator it(s.begin(), s.end(), output), end; it != end; ++it) found.outputs.insert((*it)[1]);
    }
    return found;
}

// Classes that archives only name as an ancestor of another class, never as an object's own
// class: nothing is made from them.
const std::set<std::string> kOnlyAncestors = {"QRBMessage"};

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
        EXPECT_TRUE(registry.isRegistered(name)) << name << " is not registered for archives";
        const QRBEventSourceClass* cls = QRBEventSourceClass::classNamed(name);
        EXPECT_TRUE(cls && cls->name() == name) << name << " is not registered as an output type";
    }
    EXPECT_NE(QRBEventSourceClass::classNamed(QRBEventSource::kArchivedClassName), nullptr);
}
