// The OSC route output: address templates, arguments, names, undoable setters, the trigger mode it
// gives its actions, equality, copies, merging into another document, the menus' collection, the
// type registry, the backmapping variant and the archive of every version.

#include "core/support/ManagerTestSupport.h"
#include "core/support/PresetTestSupport.h"

#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBEventSourceMerger.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBBackmappingEventSource.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"
#include "foundation/Log.h"
#include "foundation/UndoManager.h"

#include <gtest/gtest.h>

using firing::Float;
using foundation::Date;
using foundation::Value;
using managertest::ManagerFixture;
using presets::RawRecord;

namespace {

const std::string kArrow = "\u279B";

QRBRouteEventSourcePtr route(int64_t target, std::optional<std::string> address, uint64_t mode,
                             std::vector<std::string> tokens, std::optional<std::string> memo = std::nullopt) {
    auto r = std::make_shared<QRBRouteEventSource>();
    r->setTargetIdentifier(target);
    r->setRewriteAddress(address);
    r->setTriggerMode(mode);
    foundation::Array texts;
    for (const auto& t : tokens) texts.emplace_back(t);
    r->setRewriteTokens(Value(texts));
    r->setMemo(memo);
    return r;
}

std::string typesOf(const std::vector<QRBArgPtr>& args) {
    std::string types;
    for (const auto& a : args) types += static_cast<char>(a->libloType());
    return types;
}

class RouteTest : public ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        // /in takes two floats; its second argument is scaled from 0..1 to 0..10.
        in = QRBContext::create("/in", manager);
        currentPreset()->addObject(in);
        receive(0, 0);
        second()->setOutputMin(0);
        second()->setOutputMax(10);
        receive(0.25, 0.5);
        manager->variableValueAtIndex(3)->makeSameAsValue(*QRBArg::argWithStringValue("deck"));
    }
    void receive(double a, double b) {
        in->receive(firing::message("/in", {Float(a), Float(b)}), manager->oscInputEndpoint(), Date::now());
    }
    QRBActionPtr second() const { return in->actionAtIndex(1); }

    QRBContextPtr in;
};

// ---- Addresses ---------------------------------------------------------------------------------

TEST_F(RouteTest, AddressTemplatesFillInAddressesVariablesAndArguments) {
    struct Case {
        std::optional<std::string> address;
        bool onContext;  // else on the second argument's action, /in/1
        std::string sent;
        size_t reports = 0;  // missing-delimiter lines at each send
    };
    const Case cases[] = {
        {std::nullopt, false, "/in/1"},
        {"", false, "/in/1"},  // an empty template is no address
        {"/x", false, "/x"},
        {"/x<address>", false, "/x/in/1"},
        {"/x/<address>", true, "/x//in"},
        {"<address>", true, "/in"},
        {"< Address >", false, "/in/1"},
        {"/v/<VAR 3>", false, "/v/deck"},
        {"/v/<var 2>", false, "/v/Nil"},    // an unset variable
        {"/v/<var 128>", false, "/v/nil"},  // no such variable
        {"/v/<var 99999999999999999999999>", false, "/v/nil"},
        {"/v/<var -1>", false, "/v/"},  // a negative index names nothing
        {"/v/<var>", false, "/v/"},
        {"/a/<arg 1>", true, "/a/5.00"},  // the scaled argument
        {"/a/<arg 0>", true, "/a/0.25"},
        {"/a/<arg 7>", false, "/a/5.00"},  // a single action: its own value whatever the index
        // After a placeholder the whole run of delimiters must be ">": "><" is not, and the
        // next placeholder's text is copied as it stands.
        {"<address><var 3>", false, "/in/1var 3", 1},
        {"<address>/<var 3>", false, "/in/1/deck"},
        {"<address> <var 3> ", false, "/in/1deck"},
        {"/a<var 3>><arg 1>", false, "/adeckarg 1", 1},
        {"<address><var 3><arg 0>", true, "/invar 3arg 0", 1},
        {"/<foo>/<bar>", false, "/foo/bar", 2},
        {"/a/<foo>", false, "/a/foo", 1},
        {"/a/<address", false, "/a//in/1", 1},
        {"/a/<var 3<arg 0>", true, "/a/deckarg 0", 1},
        {"/a>b", false, "/ab"},
        {"/a<<b>>c", false, "/abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.value_or("(none)"));
        auto r = std::make_shared<QRBRouteEventSource>();
        r->setRewriteAddress(c.address);
        foundation::LogCapture log;
        const QRBAction& action = c.onContext ? static_cast<const QRBAction&>(*in) : *second();
        // A malformed template is reported at every send, also once it has been read.
        for (int send = 0; send < 2; ++send) {
            EXPECT_EQ(r->addressWithAction(action), c.sent);
            size_t reports = 0;
            for (const auto& line : log.lines()) reports += line == QRBRouteEventSource::kMissingClosingDelimiter;
            EXPECT_EQ(reports, c.reports * (send + 1)) << "send " << send;
        }
    }
    // A context's argument the context doesn't have: the context's own value.
    auto r = std::make_shared<QRBRouteEventSource>();
    r->setRewriteAddress("/a/<arg 5>");
    EXPECT_EQ(r->addressWithAction(*in), "/a/" + in->argValue()->stringValue().value_or("nil"));
    // A changed template is read again.
    r->setRewriteAddress("/b/<var 3>");
    EXPECT_EQ(r->addressWithAction(*in), "/b/deck");
}

TEST_F(RouteTest, TokensMakeTheArguments) {
    auto r = route(-1, std::nullopt, 0, {"$args", "$argi[1]", "$var[3]", "7", "0.25", "$$"});
    std::vector<QRBArgPtr> args = r->argumentsWithAction(*in);
    ASSERT_EQ(typesOf(args), "ffisifs");
    EXPECT_FLOAT_EQ(args[0]->floatValue(), 0.25f);  // as received
    EXPECT_FLOAT_EQ(args[1]->floatValue(), 0.5f);
    EXPECT_EQ(args[2]->int32Value(), 1);
    EXPECT_EQ(args[3]->stringValue(), "deck");
    EXPECT_EQ(args[6]->stringValue(), "$");
    // A single action's $args is its scaled value.
    args = std::make_shared<QRBRouteEventSource>()->argumentsWithAction(*second());
    ASSERT_EQ(typesOf(args), "f");
    EXPECT_FLOAT_EQ(args[0]->floatValue(), 5.0f);
    EXPECT_TRUE(route(-1, std::nullopt, 0, {})->argumentsWithAction(*in).empty());
}

// ---- Names -------------------------------------------------------------------------------------

TEST(QRBRouteName, NamesShowTargetAddressModeAndArguments) {
    struct Case {
        QRBRouteEventSourcePtr route;
        std::string name;
        std::string arguments;
    };
    const Case cases[] = {
        {std::make_shared<QRBRouteEventSource>(), "\u0110", ""},
        {route(1, "/a", QRBTrigger::kUp, {"$arg[0]", "5"}), "2 " + kArrow + " /a [trig up] : arg[0], 5", "arg[0], 5"},
        {route(-2, std::nullopt, 0, {}), "L (no args)", ""},
        {route(-1, "", QRBTrigger::kZeroStateChange, {"$args"}), "\u0110 [\u22600]", ""},
        {route(15, "/b", QRBTrigger::kChanged, {"$args", "$argf[1]"}), "16 " + kArrow + " /b : <all args>, f:arg[1]",
         "<all args>, f:arg[1]"},
        {route(0, std::nullopt, QRBTrigger::kDown, {"$args"}), "1 [trig down]", ""},
        {route(0, std::nullopt, QRBTrigger::kZeroToPositive, {"$args"}), "1 [0 to +]", ""},
        {route(0, std::nullopt, QRBTrigger::kPositiveToZero, {"$args"}), "1 [+ to 0]", ""},
        {route(0, std::nullopt, QRBTrigger::kIncrease, {"$args"}), "1 [inc]", ""},
        {route(0, std::nullopt, QRBTrigger::kDecrease, {"$args"}), "1 [dec]", ""},
        {route(2, "/a", QRBTrigger::kUp, {"5"}, "Lights"), "3 " + kArrow + " Lights", "5"},
        {route(2, "/a", QRBTrigger::kUp, {"5"}, ""), "3 " + kArrow + " /a [trig up] : 5", "5"},
        {route(INT64_MAX, std::nullopt, 0, {"$args"}), "9223372036854775808", ""},
        {route(-7, std::nullopt, 0, {"$args"}), "-6", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.route->name(), c.name);
        EXPECT_EQ(c.route->makeName(), c.name);
        EXPECT_EQ(c.route->argumentsRewrite(), c.arguments);
    }
}

// ---- Setters -----------------------------------------------------------------------------------

TEST(QRBRouteSetters, EditsAreUndoableUnderTheirNames) {
    auto undo = std::make_shared<foundation::UndoManager>();
    auto r = std::make_shared<QRBRouteEventSource>();
    r->setUndoManager(undo);
    auto step = [&](const std::function<void()>& edit) {
        edit();
        undo->closeEventGroup();
        return undo->canUndo() ? undo->undoActionName() : std::string("(none)");
    };

    EXPECT_EQ(step([&] { r->setRewriteAddress("/x"); }), QRBRouteEventSource::kEditRewriteAddressActionName);
    EXPECT_EQ(r->name(), "\u0110 " + kArrow + " /x");
    undo->undo();
    EXPECT_FALSE(r->rewriteAddress());
    EXPECT_EQ(r->name(), "\u0110");
    undo->redo();
    EXPECT_EQ(r->rewriteAddress(), "/x");
    EXPECT_EQ(undo->undoActionName(), QRBRouteEventSource::kEditRewriteAddressActionName);

    const uint64_t generation = r->attachGeneration();
    EXPECT_EQ(step([&] { r->setTriggerMode(QRBTrigger::kDown); }), QRBRouteEventSource::kSetTriggerModeActionName);
    EXPECT_GT(r->attachGeneration(), generation);  // the actions attach again

    auto kept = std::make_shared<QRBArgTokenIndexValue>(2);
    EXPECT_EQ(step([&] {
                  r->setRewriteTokens(Value(foundation::Array{Value("$argi[0]"), Value(kept)}));
              }),
              QRBRouteEventSource::kEditArgumentsActionName);
    ASSERT_EQ(r->rewriteTokens().size(), 2u);
    EXPECT_EQ(r->rewriteTokens()[1], kept);
    for (const auto& token : r->rewriteTokens()) EXPECT_EQ(token->undoManager(), undo);
    EXPECT_EQ(r->name(), "\u0110 " + kArrow + " /x [trig down] : i:arg[0], arg[2]");
    // The tokens' own edits reach the same undo manager.
    kept->setIndex(4);
    undo->closeEventGroup();
    undo->undo();
    EXPECT_EQ(kept->index(), 2u);

    EXPECT_EQ(step([&] { r->setTargetIdentifier(4); }), "");  // no name
    EXPECT_EQ(r->name(), "5 " + kArrow + " /x [trig down] : i:arg[0], arg[2]");
    undo->undo();
    EXPECT_EQ(r->targetIdentifier(), -1);
    EXPECT_EQ(step([&] { r->setMemo("Lights"); }), "");
    EXPECT_EQ(r->name(), "\u0110 " + kArrow + " Lights");
    undo->undo();
    EXPECT_FALSE(r->memo());
}

TEST(QRBRouteSetters, TokenEditsThatChangeNothingOrCannotBeReadLeaveTheRouteAlone) {
    auto undo = std::make_shared<foundation::UndoManager>();
    auto r = route(0, "/a", 0, {"$arg[0]", "5"});
    r->setUndoManager(undo);
    const std::vector<QRBArgTokenPtr> before = r->rewriteTokens();
    const auto name = r->name();

    struct Case {
        const char* what;
        Value tokens;
    };
    const Case cases[] = {
        {"the same tokens", Value(foundation::Array{Value(before[0]), Value(before[1])})},
        {"no list", Value()},
        {"an empty text", Value(foundation::Array{Value("$arg[1]"), Value("")})},
        {"a group with an empty member", Value(foundation::Array{Value("(1,,2)")})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        r->setRewriteTokens(c.tokens);
        undo->closeEventGroup();
        EXPECT_EQ(r->rewriteTokens(), before);
        EXPECT_EQ(r->name(), name);
        EXPECT_FALSE(undo->canUndo());
    }
    // Something that is neither a token nor a text is a programming error, raised before any
    // change.
    try {
        r->setRewriteTokens(Value(foundation::Array{Value("$arg[1]"), Value(5)}));
        ADD_FAILURE() << "no error";
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.reason(), QRBRouteEventSource::kNotAToken);
    }
    EXPECT_EQ(r->rewriteTokens(), before);
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(RouteTest, TheTriggerModeReachesEveryActionUsingTheRoute) {
    auto r = route(-1, "/out", QRBTrigger::kUp, {"$args"});
    QRBActionPtr first = in->actionAtIndex(0);
    first->setEventSource(r);
    second()->setEventSource(r);
    receive(0.1, 0.1);
    EXPECT_EQ(first->trigger()->mode(), QRBTrigger::kUp);
    EXPECT_EQ(second()->trigger()->mode(), QRBTrigger::kUp);
    r->setTriggerMode(QRBTrigger::kDown);
    receive(0.2, 0.2);
    EXPECT_EQ(first->trigger()->mode(), QRBTrigger::kDown);
    EXPECT_EQ(second()->trigger()->mode(), QRBTrigger::kDown);
}

// ---- Equality, copies, merging -----------------------------------------------------------------

TEST(QRBRouteEquality, RoutesAreEqualByTargetAddressTokensAndMode) {
    auto base = [] { return route(1, "/a", 1, {"$arg[0]", "5"}, "memo"); };
    auto backmapping = std::make_shared<QRBBackmappingEventSource>();
    backmapping->setTargetIdentifier(1);
    backmapping->setRewriteAddress("/a");
    backmapping->setTriggerMode(1);
    backmapping->setRewriteTokens(base()->rewriteTokens());
    struct Case {
        const char* what;
        QRBEventSourcePtr other;
        bool equal;
    };
    const Case cases[] = {
        {"the same settings", route(1, "/a", 1, {"$arg[0]", "5"}), true},  // the memo does not count
        {"another target", route(2, "/a", 1, {"$arg[0]", "5"}), false},
        {"no address", route(1, std::nullopt, 1, {"$arg[0]", "5"}), false},
        {"another mode", route(1, "/a", 0, {"$arg[0]", "5"}), false},
        {"fewer tokens", route(1, "/a", 1, {"$arg[0]"}), false},
        {"another token type", route(1, "/a", 1, {"$argf[0]", "5"}), false},
        {"another literal", route(1, "/a", 1, {"$arg[0]", "6"}), false},
        {"another class", backmapping, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(base()->isEqualToEventSource(*c.other), c.equal);
    }
}

TEST(QRBRouteCopy, ACopyIsAnEqualRouteOfTheSameClassWithTokensOfItsOwn) {
    auto plain = route(3, "/a", 2, {"$arg[0]", "(1,2)"}, "memo");
    auto backmapping = std::make_shared<QRBBackmappingEventSource>();
    backmapping->setRewriteAddress("/back");
    for (const QRBRouteEventSourcePtr& original : {plain, QRBRouteEventSourcePtr(backmapping)}) {
        QRBRouteEventSourcePtr copy = original->copy();
        EXPECT_EQ(typeid(*copy), typeid(*original));
        EXPECT_TRUE(copy->isEqualToEventSource(*original));
        EXPECT_EQ(copy->name(), original->name());
        EXPECT_EQ(copy->memo(), original->memo());
        ASSERT_EQ(copy->rewriteTokens().size(), original->rewriteTokens().size());
        for (size_t i = 0; i < copy->rewriteTokens().size(); ++i)
            EXPECT_NE(copy->rewriteTokens()[i], original->rewriteTokens()[i]);
    }
}

TEST_F(RouteTest, RoutesJoinTheOtherDocumentsRoutesUnlessItHasAnEqualOne) {
    auto destination = QRBManager::create();
    auto existing = route(1, "/a", 0, {"$args"});
    destination->insertObject(existing, 0);

    auto equal = route(1, "/a", 0, {"$args"}, "another memo");
    EXPECT_EQ(equal->merger()->mergeFromOSCManager(manager, destination), existing);
    auto other = route(2, "/a", 0, {"$args"});
    EXPECT_EQ(other->merger()->mergeFromOSCManager(manager, destination), other);
    EXPECT_EQ(destination->oscRoutes(), (std::vector<QRBEventSourcePtr>{existing, other}));

    // A return route is carried as it is.
    auto back = std::make_shared<QRBBackmappingEventSource>();
    back->setTargetIdentifier(1);
    back->setRewriteAddress("/a");
    EXPECT_EQ(back->merger()->mergeFromOSCManager(manager, destination), back);
    EXPECT_EQ(destination->oscRoutes().size(), 2u);
}

TEST_F(RouteTest, TheMenusOfferTheDocumentsRoutesInItsOrder) {
    const QRBEventSourceClass& routes = QRBRouteEventSource::staticClass();
    Value none = routes.proposedEventSourcesCollectionForAction(in.get());
    ASSERT_TRUE(none.dictionaryValue());
    EXPECT_EQ(none.dictionaryValue()->size(), 1u);
    EXPECT_EQ(none.dictionaryValue()->at(QRBRouteEventSource::kNoRoutesTitle), Value(foundation::Array{}));
    EXPECT_TRUE(routes.proposedEventSourcesCollectionForAction(nullptr).dictionaryValue());

    auto b = route(0, "/b", 0, {"$args"});
    auto a = route(0, "/a", 0, {"$args"});
    auto own = route(0, std::nullopt, 0, {"$args"});
    for (const auto& r : {b, a, own}) manager->insertObject(r, manager->countOfOscRoutes());
    auto order = [&] {
        std::vector<QRBEventSourcePtr> list;
        const Value proposed = routes.proposedEventSourcesCollectionForAction(in.get());
        for (const auto& v : *proposed.arrayValue()) list.push_back(v.object<QRBEventSource>());
        return list;
    };
    EXPECT_EQ(order(), (std::vector<QRBEventSourcePtr>{own, a, b}));
    manager->setOscRoutesSortDescriptors({foundation::SortDescriptor::create("rewriteAddress", false)});
    EXPECT_EQ(order(), (std::vector<QRBEventSourcePtr>{b, a, own}));
}

TEST(QRBRouteType, RoutesAndReturnRoutesShowAsOneTypeThatOnlyRoutesEdit) {
    const QRBEventSourceClass* type = QRBEventSource::typeForTypeDescription("OSC Message");
    EXPECT_EQ(type, &QRBRouteEventSource::staticClass());
    EXPECT_EQ(&QRBBackmappingEventSource::staticClass().type(), &QRBRouteEventSource::staticClass());
    EXPECT_EQ(QRBBackmappingEventSource::staticClass().typeDescription(), "OSC Message");
    EXPECT_TRUE(QRBRouteEventSource().canBeEditedByUser());
    EXPECT_FALSE(QRBBackmappingEventSource().canBeEditedByUser());

    struct Case {
        std::vector<std::string> tokens;
        bool integral;
    };
    const Case cases[] = {{{"$argi[0]", "$argf[1]"}, true}, {{"$argf[0]"}, false}, {{"7"}, false}, {{}, false}};
    for (const auto& c : cases) EXPECT_EQ(route(0, "/a", 0, c.tokens)->requireIntegralScalingsFormatting(), c.integral);
}

TEST(QRBBackmappingRoute, TheManagerMakesReturnRoutesWithTheBackmappingTokens) {
    ASSERT_TRUE(QRBManager::currentBackmappingRouteMaker());
    auto location = std::make_shared<QRBActionLocation>();
    QRBEventSourcePtr made =
        QRBManager::currentBackmappingRouteMaker()("/out", {{QRBBackmappingToken::Kind::Plain, nullptr, 'f'},
                                                            {QRBBackmappingToken::Kind::ByRef, location, 'i'},
                                                            {QRBBackmappingToken::Kind::UpdateRef, location, 's'}});
    auto r = std::dynamic_pointer_cast<QRBBackmappingEventSource>(made);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->rewriteAddress(), "/out");
    EXPECT_EQ(r->targetIdentifier(), QRBManager::kDefaultTargetIdentifier);
    ASSERT_EQ(r->rewriteTokens().size(), 3u);
    EXPECT_EQ(typeid(*r->rewriteTokens()[0]), typeid(QRBArgToken));
    EXPECT_EQ(r->rewriteTokens()[0]->type(), 'f');
    EXPECT_EQ(typeid(*r->rewriteTokens()[1]), typeid(QRBArgTokenByRef));
    EXPECT_EQ(r->rewriteTokens()[1]->type(), 'i');
    EXPECT_EQ(typeid(*r->rewriteTokens()[2]), typeid(QRBArgTokenUpdateRef));
}

// ---- Archive -----------------------------------------------------------------------------------

std::shared_ptr<RawRecord> setInteger(std::shared_ptr<RawRecord> record, const std::string& key, int64_t value) {
    record->writes.push_back([key, value](foundation::KeyedArchiver& c) { c.encodeInteger(value, key); });
    return record;
}

Value tokenList(std::vector<std::string> texts) {
    foundation::Array list;
    for (const auto& t : texts) list.emplace_back(QRBArgToken::parseArgToken(t));
    return Value(list);
}

TEST(QRBRouteArchive, ARouteComesBackAsItWas) {
    auto r = route(-2, "/a/<var 1>", QRBTrigger::kDown, {"$argi[0]", "(1,2)", "hello"}, "Lights");
    auto decoded = presets::decode<QRBRouteEventSource>(Value(r));
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqualToEventSource(*r));
    EXPECT_EQ(decoded->memo(), "Lights");
    EXPECT_EQ(decoded->name(), r->name());
    auto back = std::make_shared<QRBBackmappingEventSource>();
    EXPECT_TRUE(presets::decode<QRBBackmappingEventSource>(Value(back)));
}

TEST(QRBRouteArchive, EveryVersionIsReadWithItsRules) {
    struct Case {
        const char* what;
        std::shared_ptr<RawRecord> record;
        std::optional<std::string> address;
        std::vector<std::string> tokens;  // display strings
        int64_t target;
    };
    auto v = [](const char* className, std::optional<int> version) {
        auto record = RawRecord::make(className)->set("QRBEventSourceName", Value("old name"));
        if (version) record->set("Version", Value(*version));
        return record;
    };
    const Case cases[] = {
        {"no version: an empty list is the default, * is the incoming address, no target",
         setInteger(v("QRBRouteEventSource", std::nullopt), "targetIdentifier", 7)
             ->set("QRBRouteTokens", tokenList({}))
             ->set("QRBRouteRewriteAddress", Value("/dst/*")),
         "/dst/<address>",
         {"<all args>"},
         -1},
        {"version 1 under the former class name",
         v("QRBOSCEventSource", 1)->set("QRBRouteTokens", tokenList({}))->set("QRBRouteRewriteAddress", Value("*")),
         "<address>",
         {"<all args>"},
         -1},
        {"version 2: an empty list sends no arguments",
         v("QRBRouteEventSource", 2)
             ->set("QRBRouteTokens", tokenList({}))
             ->set("QRBRouteRewriteAddress", Value("/a/*/b*")),
         "/a/<address>/b<address>",
         {},
         -1},
        {"version 3: a missing list is the default", v("QRBRouteEventSource", 3), std::nullopt, {"<all args>"}, -1},
        {"version 4: * stays, the target comes from the target object",
         v("QRBRouteEventSource", 4)
             ->set("QRBRouteTokens", tokenList({"$arg[1]"}))
             ->set("QRBRouteRewriteAddress", Value("/x/*")),
         "/x/*",
         {"arg[1]"},
         -1},
        {"version 5: as written",
         setInteger(setInteger(v("QRBRouteEventSource", 5), "targetIdentifier", 3), "triggerMode", 2)
             ->set("QRBRouteTokens", tokenList({"$arg[1]", "7"}))
             ->set("QRBRouteRewriteAddress", Value("*"))
             ->set("memo", Value("m")),
         "*",
         {"arg[1]", "7"},
         3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = presets::decode<QRBRouteEventSource>(Value(c.record));
        ASSERT_TRUE(r);
        EXPECT_EQ(typeid(*r), typeid(QRBRouteEventSource));
        EXPECT_EQ(r->rewriteAddress(), c.address);
        std::vector<std::string> shown;
        for (const auto& token : r->rewriteTokens()) shown.push_back(token->displayString());
        EXPECT_EQ(shown, c.tokens);
        EXPECT_EQ(r->targetIdentifier(), c.target);
        EXPECT_EQ(r->name(), r->makeName());  // the archived name is made anew
        EXPECT_TRUE(r->needsAttach());
    }
}

TEST(QRBRouteArchive, OlderRoutesFindTheSlotOfTheirTarget) {
    std::vector<QRBTargetPtr> targets;
    for (int i = 0; i < 3; ++i) {
        targets.push_back(std::make_shared<QRBTarget>());
        targets.back()->setTargetSpec("10.0.0.1:" + std::to_string(8000 + i));
    }
    auto outside = std::make_shared<QRBTarget>();
    outside->setTargetSpec("10.0.0.9:9000");
    auto legacy = [](const QRBTargetPtr& target) {
        return RawRecord::make("QRBRouteEventSource")->set("Version", Value(4))->set("QRBRouteHostInfo", Value(target));
    };
    auto current = setInteger(RawRecord::make("QRBRouteEventSource")->set("Version", Value(5)), "targetIdentifier", -2);
    auto record =
        RawRecord::make("QRBManager")
            ->set("oscTargets", foundation::objectListValue(targets))
            ->set("oscRoutes",
                  Value(foundation::Array{Value(legacy(targets[2])), Value(legacy(outside)), Value(current)}));
    foundation::BonjourBackend::setShared(std::make_shared<platform::FakeBonjourBackend>());
    auto manager = presets::decode<QRBManager>(Value(record));
    ASSERT_TRUE(manager);
    ASSERT_EQ(manager->oscRoutes().size(), 3u);
    auto identifier = [&](size_t i) {
        return std::static_pointer_cast<QRBRouteEventSource>(manager->oscRoutes()[i])->targetIdentifier();
    };
    EXPECT_EQ(identifier(0), 2);
    EXPECT_EQ(identifier(1), QRBManager::kDefaultTargetIdentifier);  // no slot of the manager's
    EXPECT_EQ(identifier(2), QRBManager::kLocalTargetIdentifier);
    manager->close();
    manager.reset();
    foundation::BonjourBackend::setShared(nullptr);
}

}  // namespace
