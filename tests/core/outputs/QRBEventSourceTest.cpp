// The output base class: its protocol defaults, class-level answers, proposed-collection search,
// archiving, and the type registry read from the application's resource.

#include "core/support/FiringTestSupport.h"

#include "core/QRBPreferences.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/outputs/QRBEventSourceTypeRegistry.h"
#include "foundation/Exception.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Resources.h"
#include "support/TestRegistration.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace firing;

namespace {

// An output whose class name says Kyma: decoding it turns the Kyma menus on.
class KymaTestEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("TestKymaEventSource", QRBEventSource)
};

// Class objects made up for names of a type file, standing for classes this program lacks.
class StandInClasses {
public:
    const QRBEventSourceClass* operator()(const std::string& name) {
        auto it = classes_.find(name);
        if (it == classes_.end())
            it = classes_.emplace(name, std::make_unique<QRBEventSourceClass>(name, nullptr)).first;
        return it->second.get();
    }
    const QRBEventSourceClass* get(const std::string& name) const {
        auto it = classes_.find(name);
        return it == classes_.end() ? nullptr : it->second.get();
    }

private:
    std::map<std::string, std::unique_ptr<QRBEventSourceClass>> classes_;
};

std::string writePlist(const testsupport::TempDir& dir, const foundation::Dictionary& types) {
    const std::string path = dir.file("TypeDescriptions.plist");
    foundation::writeFileAtomically(path, foundation::xmlPropertyListData(foundation::Value(types)));
    return path;
}

foundation::Dictionary entry(const char* description) { return {{"typeDesc", foundation::Value(description)}}; }

}  // namespace

TEST_REGISTER_EVENT_SOURCE(KymaTestEventSource)

// ---- the type registry -------------------------------------------------------------------------

TEST(QRBEventSourceTypeRegistry, ResourceHoldsEveryTypeTheMenusOffer) {
    auto path = foundation::Resources::pathForResource("TypeDescriptions", "plist");
    ASSERT_TRUE(path);
    StandInClasses classes;
    auto registry = QRBEventSourceTypeRegistry::build(path, std::ref(classes));

    const char* offered[] = {
        "MIDI CC",
        "MIDI CC Toggle",
        "MIDI Prg",
        "MIDI Message",
        "Kyma CC",
        "Kyma Ext",
        "Kyma Prg",
        "OSC Message",
        "MIDI Note",
        "MIDI Note w/ Params",
        "Kyma Note",
        "Kyma Note w/ Params",
        "Note Params",
        "Key Combo",
        "Keycode",
        "Mouse",
        "HID",
        "Enable",
        "Enable Toggle",
        "Enable Combine",
        "Mappings",
        "Snapshots",
        "Change Channel",
        "Variable",
        "Delay",
        "AppleScript",
        "Console Log",
        "Wiimote Enable",
        "Vibrate",
        "LEDs",
        "MotionPlus Reset",
        "Send to MIDI",
    };
    std::set<const QRBEventSourceClass*> types;
    for (const char* description : offered) {
        const QRBEventSourceClass* type = registry->typeForTypeDescription(description);
        ASSERT_NE(type, nullptr) << description;
        types.insert(type);
        const foundation::Dictionary* typeEntry = registry->typeDictForType(*type);
        ASSERT_NE(typeEntry, nullptr);
        EXPECT_EQ(*typeEntry->at("typeDesc").stringValue(), description);
    }
    EXPECT_EQ(types.size(), std::size(offered)) << "each description names its own type";
    EXPECT_EQ(registry->count(), std::size(offered));

    // The whole-message outputs are the ones the action model looks up by class name.
    EXPECT_EQ(registry->typeForTypeDescription("OSC Message"), classes.get("QRBRouteEventSource"));
    EXPECT_EQ(registry->typeForTypeDescription("MIDI Message"), classes.get("QRBMIDITemplate"));
    EXPECT_EQ(registry->typeForTypeDescription("Console Log"), classes.get("NSLogEventSource"));
    // Outputs kept in the document's lists are the ones users create and copy.
    for (const char* listed : {"OSC Message", "Key Combo", "AppleScript", "MIDI Message", "Delay"}) {
        const auto* e = registry->typeDictForType(*registry->typeForTypeDescription(listed));
        EXPECT_TRUE(e->at("canBeCreatedByUser").boolValue().value_or(false)) << listed;
        EXPECT_TRUE(e->at("canBeCopiedByUser").boolValue().value_or(false)) << listed;
    }
    // Known but not offered.
    ASSERT_NE(classes.get("QRBDummyEventSource"), nullptr);
    EXPECT_EQ(registry->typeDictForType(*classes.get("QRBDummyEventSource")), nullptr);
}

TEST(QRBEventSourceTypeRegistry, EntriesAreFilteredByActivationAndKnownClasses) {
    testsupport::TempDir dir;
    foundation::Dictionary inactive = entry("Off");
    inactive["activate"] = foundation::Value(false);
    foundation::Dictionary active = entry("On");
    active["activate"] = foundation::Value(true);
    const std::string path = writePlist(dir, {
                                                 {"Plain", foundation::Value(entry("Plain"))},
                                                 {"Inactive", foundation::Value(inactive)},
                                                 {"Active", foundation::Value(active)},
                                                 {"Unknown", foundation::Value(entry("Nowhere"))},
                                                 {"First", foundation::Value(entry("Same"))},
                                                 {"Second", foundation::Value(entry("Same"))},
                                                 {"NotADictionary", foundation::Value("typeDesc")},
                                             });
    StandInClasses classes;
    auto lookup = [&](const std::string& name) { return name == "Unknown" ? nullptr : classes(name); };
    auto registry = QRBEventSourceTypeRegistry::build(path, lookup);

    EXPECT_EQ(registry->typeForTypeDescription("Plain"), classes.get("Plain"));
    EXPECT_EQ(registry->typeForTypeDescription("On"), classes.get("Active"));
    EXPECT_EQ(registry->typeForTypeDescription("Off"), nullptr);
    EXPECT_EQ(registry->typeDictForType(*classes.get("Inactive")), nullptr);
    EXPECT_EQ(registry->typeForTypeDescription("Nowhere"), nullptr);
    // Of two entries with one description, the later one keeps it.
    EXPECT_EQ(registry->typeForTypeDescription("Same"), classes.get("Second"));
    EXPECT_EQ(registry->count(), 4u);
}

TEST(QRBEventSourceTypeRegistry, MissingResourceIsReportedWithItsText) {
    for (const std::optional<std::string>& path : {std::optional<std::string>(), std::optional<std::string>("")}) {
        try {
            QRBEventSourceTypeRegistry::build(path);
            FAIL() << "no exception";
        } catch (const foundation::Exception& e) {
            EXPECT_EQ(e.name(), "NSGenericException");
            EXPECT_EQ(e.reason(), "Warning: Can't find the file TypeDescriptions.plist");
        }
    }
}

TEST(QRBEventSourceTypeRegistry, SharedRegistryKnowsOnlyTheClassesOfThisProgram) {
    // The resource lists outputs whose classes come with other parts of the application; those
    // missing from this program are not registered, and a class the resource does not name has
    // no description.
    EXPECT_EQ(QRBEventSource::typeForTypeDescription("HID"), nullptr);
    EXPECT_EQ(RecordingEventSource::staticClass().typeDescription(), std::nullopt);
    EXPECT_FALSE(RecordingEventSource::staticClass().canBeCreatedByUser());
    EXPECT_FALSE(RecordingEventSource().canBeEditedByUser());
}

// ---- class objects -----------------------------------------------------------------------------

TEST(QRBEventSource, ClassObjectsAnswerForTheirClass) {
    const QRBEventSourceClass& recording = RecordingEventSource::staticClass();
    const QRBEventSourceClass& channelFree = ChannelFreeEventSource::staticClass();
    EXPECT_EQ(QRBEventSourceClass::classNamed("TestRecordingEventSource"), &recording);
    EXPECT_EQ(QRBEventSourceClass::classNamed("NoSuchOutput"), nullptr);
    EXPECT_TRUE(channelFree.isSubclassOf(recording));
    EXPECT_TRUE(channelFree.isSubclassOf(QRBEventSource::staticClass()));
    EXPECT_FALSE(recording.isSubclassOf(channelFree));
    EXPECT_EQ(&recording.type(), &recording);
    EXPECT_EQ(&channelFree.type(), &recording);
    EXPECT_EQ(recording.channelCount(), 16u);
    EXPECT_EQ(channelFree.channelCount(), 0u);
    EXPECT_EQ(QRBEventSource::staticClass().channelCount(), 0u);
    EXPECT_TRUE(recording.proposedEventSourcesCollectionForAction(nullptr).isNull());
    auto made = channelFree.create();
    ASSERT_TRUE(made);
    EXPECT_EQ(&made->eventSourceClass(), &channelFree);
}

// ---- the base's protocol -----------------------------------------------------------------------

TEST(QRBEventSource, BaseProtocolDefaults) {
    VirtualMainLoop loop;
    auto host = std::make_shared<TestHost>();
    auto context = QRBContext::create("/a", host);
    auto action = context->createAction<QRBConcreteAction>(std::nullopt);

    auto base = std::make_shared<QRBEventSource>();
    try {
        base->acceptAction(*action);
        FAIL() << "no exception";
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.reason(), "Abstract method.");
    }
    EXPECT_TRUE(base->needsAttach());
    base->attach(*action);
    EXPECT_FALSE(base->needsAttach());
    base->setNeedsAttach();
    EXPECT_TRUE(base->needsAttach());
    EXPECT_EQ(base->previousProposedEventSource(), base);
    EXPECT_EQ(base->nextProposedEventSource(), base);
    EXPECT_FALSE(base->requireIntegralScalingsFormatting());
    EXPECT_TRUE(base->canEditOutputScaling());

    // Outputs without state of their own are interchangeable within their class.
    RecordingEventSource a, b;
    ChannelFreeEventSource c;
    EXPECT_TRUE(a.isEqualToEventSource(b));
    EXPECT_TRUE(a.isEqualToEventSource(a));
    EXPECT_FALSE(a.isEqualToEventSource(c));
    EXPECT_FALSE(c.isEqualToEventSource(a));
}

TEST(QRBEventSource, ScalingShownForFloatingInputsOnly) {
    VirtualMainLoop loop;
    auto host = std::make_shared<TestHost>();
    auto context = QRBContext::create("/a", host);
    auto action = context->createAction<QRBConcreteAction>(std::nullopt);
    auto output = std::make_shared<RecordingEventSource>();
    output->fudgeFactor = 127;
    output->fudgeOffset = 1;
    action->setEventSource(output);
    action->setOutputMax(0.5);
    struct Case {
        Arg input;
        double factor, offset;
    };
    for (const Case& c :
         {Case{Float(0), 127, 1}, Case{Double(0), 127, 1}, Case{Int(0), 1, 0}, Case{String("x"), 1, 0}}) {
        action->setInputArgValue(*value(c.input));
        EXPECT_DOUBLE_EQ(output->outputScalingFudgeFactorForAction(*action), c.factor);
        EXPECT_DOUBLE_EQ(output->outputScalingFudgeOffsetForAction(*action), c.offset);
        EXPECT_DOUBLE_EQ(action->userOutputMax(), 0.5 * c.factor + c.offset);
    }
}

TEST(QRBEventSource, MarkerAndNotAvailableTitle) {
    EXPECT_EQ(QRBEventSource::menuSeparatorMarker(), QRBEventSource::menuSeparatorMarker());
    EXPECT_FALSE(QRBEventSource::menuSeparatorMarker()->name());
    EXPECT_EQ(QRBEventSource::notAvailableString(), "\xE2\x80\x92");
}

TEST(QRBEventSource, FindsByNameDepthFirstInNestedCollections) {
    auto named = [](const char* name) {
        auto s = std::make_shared<RecordingEventSource>();
        s->setName(std::string(name));
        return s;
    };
    auto a = named("a"), b = named("b"), b2 = named("b"), c = named("c");
    foundation::Value sep(QRBEventSource::menuSeparatorMarker());
    foundation::Value collection(foundation::Array{
        foundation::Value(a),
        foundation::Value(foundation::Array{sep, foundation::Value(b)}),
        foundation::Value(foundation::Dictionary{
            {"Group", foundation::Value(foundation::Array{foundation::Value(c), foundation::Value(b2)})}}),
        foundation::Value("b"),
    });
    EXPECT_EQ(QRBEventSource::findEventSourceWithName("b", collection), b);
    EXPECT_EQ(QRBEventSource::findEventSourceWithName("c", collection), c);
    EXPECT_EQ(QRBEventSource::findEventSourceWithName("z", collection), nullptr);
    EXPECT_EQ(QRBEventSource::findEventSourceWithName("", collection), nullptr);
    EXPECT_EQ(QRBEventSource::findEventSourceWithName("a", foundation::Value("a")), nullptr);
}

TEST(QRBEventSource, UniqueNameAmongOtherOutputs) {
    auto named = [](const char* name) {
        auto s = std::make_shared<RecordingEventSource>();
        s->setName(std::string(name));
        return s;
    };
    auto mine = named("Template");
    std::vector<QRBEventSourcePtr> list{named("Template"), named("Template 2"), mine};
    mine->ensureUniqueNameComparedToEventSources(list);
    EXPECT_EQ(*mine->name(), "Template 3");
    // Its own entry does not count.
    auto alone = named("Solo");
    alone->ensureUniqueNameComparedToEventSources({alone});
    EXPECT_EQ(*alone->name(), "Solo");
}

TEST(QRBEventSource, ArchiveKeepsNamesAndAsksForAttach) {
    auto source = std::make_shared<RecordingEventSource>();
    source->setName(std::string("CC 7"));
    source->setAlternateName(std::string("Volume"));
    source->attach(*std::make_shared<QRBConcreteAction>());
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(source));
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<RecordingEventSource>(data);
    EXPECT_EQ(decoded->name(), "CC 7");
    EXPECT_EQ(decoded->alternateName(), "Volume");
    EXPECT_TRUE(decoded->needsAttach());
}

TEST(QRBEventSource, DecodingAKymaOutputTurnsTheKymaFeaturesOn) {
    auto& preferences = QRBPreferences::sharedPreferences();
    preferences.setEnableKymaRelatedFeatures(false);
    if (preferences.enableKymaRelatedFeatures()) GTEST_SKIP() << "the Kyma features are on in this user's settings";
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(
        foundation::Value(std::make_shared<RecordingEventSource>()));
    foundation::KeyedUnarchiver::unarchiveRoot<RecordingEventSource>(data);
    EXPECT_FALSE(preferences.enableKymaRelatedFeatures());
    data = foundation::KeyedArchiver::archivedDataWithRootObject(
        foundation::Value(std::make_shared<KymaTestEventSource>()));
    foundation::KeyedUnarchiver::unarchiveRoot<KymaTestEventSource>(data);
    EXPECT_TRUE(preferences.enableKymaRelatedFeatures());
    preferences.setEnableKymaRelatedFeatures(false);
}
