// Archives of contexts, argument actions and duplicates: round trips through a file, shared
// outputs, back references, every key older documents use, and damaged archives.

#include "core/support/ModelTestSupport.h"

#include "foundation/KeyedArchiver.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace firing;
using namespace model;
using foundation::ArchiveError;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::Value;

namespace {

// Compares everything an archive keeps of an action and what is below it.
void expectSameAction(const QRBAction& got, const QRBAction& want, const std::string& where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(got.archivedClassName(), want.archivedClassName());
    EXPECT_EQ(got.name(), want.name());
    EXPECT_EQ(got.isEnabled(), want.isEnabled());
    EXPECT_EQ(got.channel(), want.channel());
    EXPECT_EQ(got.inputMin(), want.inputMin());
    EXPECT_EQ(got.inputMax(), want.inputMax());
    EXPECT_EQ(got.outputMin(), want.outputMin());
    EXPECT_EQ(got.outputMax(), want.outputMax());
    EXPECT_EQ(got.inputCap(), want.inputCap());
    EXPECT_EQ(got.requireIntegralInputScalingsFormatting(), want.requireIntegralInputScalingsFormatting());
    EXPECT_TRUE(got.argValue()->isEqualToArg(*want.argValue()));
    EXPECT_TRUE(got.inputArgValue()->isEqualToArg(*want.inputArgValue()));
    EXPECT_EQ(got.userInfoDictionary(), want.cleanUserInfoDictionary());
    EXPECT_EQ(got.type(), want.type());
    EXPECT_EQ(got.hasTriggerLikeInput(), true);
    EXPECT_EQ(got.inputRangeChecked(), false);
    ASSERT_EQ(got.eventSource() != nullptr, want.eventSource() != nullptr);
    if (got.eventSource()) {
        EXPECT_EQ(got.eventSource()->archivedClassName(), want.eventSource()->archivedClassName());
        EXPECT_EQ(got.eventSource()->name(), want.eventSource()->name());
    }
    EXPECT_EQ(got.logger() != nullptr, want.logger() != nullptr);
    EXPECT_EQ(got.isTopLevel(), want.isTopLevel());
    if (auto context = dynamic_cast<const QRBContext*>(&want)) {
        auto& gotContext = static_cast<const QRBContext&>(got);
        EXPECT_EQ(gotContext.demuxRank(), context->demuxRank());
        ASSERT_EQ(gotContext.lastReceivedMessage() != nullptr, context->lastReceivedMessage() != nullptr);
        if (context->lastReceivedMessage()) {
            EXPECT_TRUE(gotContext.lastReceivedMessage()->isEqualToOSCMessage(*context->lastReceivedMessage()));
        }
        EXPECT_EQ(gotContext.lastReceivedDate(), context->lastReceivedDate());
    }
    ASSERT_EQ(got.actions().size(), want.actions().size());
    for (size_t i = 0; i < got.actions().size(); ++i) {
        const auto& below = *got.actions()[i];
        expectSameAction(below, *want.actions()[i], where + "/" + std::to_string(i));
        // Every back reference points at the decoded owner.
        if (auto dup = dynamic_cast<const QRBDupAction*>(&below)) {
            EXPECT_EQ(dup->masterAction().get(), &got);
            EXPECT_EQ(dup->context(), got.context());
        } else {
            EXPECT_EQ(below.context().get(), &got);
        }
    }
}

class ActionArchiveTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;

    Value roundTrip(const Value& root) {
        const std::string path = dir.file("mapping.archive");
        KeyedArchiver::archiveRootObjectToFile(root, path);
        return KeyedUnarchiver::unarchiveObjectWithFile(path);
    }
};

// An object that writes the keys a case gives under the class names a case gives: older
// documents and damaged ones.
class HandWritten : public foundation::Object {
public:
    using Writer = std::function<void(KeyedArchiver&, const HandWritten&)>;
    HandWritten(std::vector<std::string> classes, Writer write)
        : classes_(std::move(classes)), write_(std::move(write)) {}
    std::string archivedClassName() const override { return classes_.front(); }
    std::vector<std::string> archivedClassHierarchy() const override { return classes_; }
    void encodeWithCoder(KeyedArchiver& coder) const override { write_(coder, *this); }
    Value self() const { return Value(std::const_pointer_cast<foundation::Object>(shared_from_this())); }

    std::vector<std::shared_ptr<HandWritten>> others;

private:
    std::vector<std::string> classes_;
    Writer write_;
};

const std::vector<std::string> kContextClasses = {"QRBContext", "QRBAction", "NSObject"};
const std::vector<std::string> kConcreteClasses = {"QRBConcreteAction", "QRBAction", "NSObject"};

std::shared_ptr<HandWritten> handWritten(std::vector<std::string> classes, HandWritten::Writer write) {
    return std::make_shared<HandWritten>(std::move(classes), std::move(write));
}

Value decode(const std::shared_ptr<foundation::Object>& root) {
    return KeyedUnarchiver::unarchiveObjectWithData(KeyedArchiver::archivedDataWithRootObject(Value(root)));
}

}  // namespace

// ---- round trips -------------------------------------------------------------------------------

TEST_F(ActionArchiveTest, ATreeOfContextsActionsAndDuplicatesRoundTripsThroughAFile) {
    Document doc;
    auto shared = std::make_shared<RecordingEventSource>();
    shared->setName("shared");
    auto other = std::make_shared<ZeroChannelEventSource>();
    other->setName("other");

    // /a: three arguments, the second with two duplicates; one output shared all over.
    doc.context->receive(message("/a", {Float(0.25), Int(3), String("s")}), nullptr,
                         foundation::Date::withTimeIntervalSinceReferenceDate(700000000.5));
    auto& args = doc.context->actions();
    auto a0 = std::static_pointer_cast<QRBConcreteAction>(args[0]);
    auto a1 = std::static_pointer_cast<QRBConcreteAction>(args[1]);
    a0->setEventSource(shared);
    a0->setName("level");
    a0->setInputMin(-1);
    a0->setOutputMax(127);
    a0->setInputCap(true);
    a0->setChannel(7);
    a0->setEnabled(false);
    a0->setUserInfoValue(Value(true), "QRBContextIsExpanded");
    a0->setUserInfoValue(Value(1), "_Voice");
    auto plot = std::make_shared<QRBHeadlessLivePlotController>();
    plot->setAction(a0);
    a1->setEventSource(shared);
    auto d0 = a1->dup();
    auto d1 = a1->dup();
    d1->setEventSource(other);
    d1->setOutputMin(-5);

    // /b: demultiplexed on its first argument, a child with an argument action below it.
    auto b = QRBContext::create("/b", doc.host);
    b->setDemuxRank(0);
    b->receive(message("/b", {String("left"), Float(0.5), Float(0.75)}), nullptr, foundation::Date::now());
    auto left = b->contextWithName("left");
    ASSERT_TRUE(left);
    left->actions()[1]->setEventSource(shared);

    // /c: a single-argument context with the shared output.
    auto c = QRBContext::create("/c", doc.host);
    c->setEventSource(shared);
    c->receive(message("/c", {Float(0.5)}), nullptr, foundation::Date::now());

    Value decoded = roundTrip(Value(foundation::Array{Value(doc.context), Value(b), Value(c)}));
    ASSERT_TRUE(decoded.arrayValue());
    ASSERT_EQ(decoded.arrayValue()->size(), 3u);
    auto da = (*decoded.arrayValue())[0].object<QRBContext>();
    auto db = (*decoded.arrayValue())[1].object<QRBContext>();
    auto dc = (*decoded.arrayValue())[2].object<QRBContext>();
    ASSERT_TRUE(da && db && dc);
    expectSameAction(*da, *doc.context, "/a");
    expectSameAction(*db, *b, "/b");
    expectSameAction(*dc, *c, "/c");

    // One output object, as many users as before.
    auto decodedShared = da->actions()[0]->eventSource();
    ASSERT_TRUE(decodedShared);
    EXPECT_NE(decodedShared, shared);
    EXPECT_EQ(da->actions()[1]->eventSource(), decodedShared);
    EXPECT_EQ(da->actions()[1]->actions()[0]->eventSource(), decodedShared);
    EXPECT_EQ(db->contextWithName("left")->actions()[1]->eventSource(), decodedShared);
    EXPECT_EQ(dc->eventSource(), decodedShared);
    EXPECT_NE(da->actions()[1]->actions()[1]->eventSource(), decodedShared);

    // Transient user info stays behind; the plot comes back; nothing is undoable yet.
    EXPECT_TRUE(da->actions()[0]->userInfoValueForKey("_Voice").isNull());
    EXPECT_TRUE(da->actions()[0]->logger());
    EXPECT_EQ(da->undoManager(), nullptr);
    EXPECT_TRUE(db->contextWithName("left")->address() == "/b/left");

    // Outputs attach at the first fire after decoding, not while the document is decoded.
    auto recording = std::static_pointer_cast<RecordingEventSource>(decodedShared);
    EXPECT_TRUE(recording->log->empty());
    dc->fire(value(Float(1)).get());
    EXPECT_EQ(callNames(*recording), (std::vector<std::string>{"attach", "accept"}));
}

TEST_F(ActionArchiveTest, AnActionArchivedAloneDoesNotPullInItsOwners) {
    Document doc;
    auto arg = doc.addArgument("x");
    auto dup = arg->dup();

    auto decodedDup = decode(dup).object<QRBDupAction>();
    ASSERT_TRUE(decodedDup);
    EXPECT_EQ(decodedDup->masterAction(), nullptr);
    EXPECT_EQ(decodedDup->context(), nullptr);

    auto decodedArg = decode(arg).object<QRBConcreteAction>();
    ASSERT_TRUE(decodedArg);
    EXPECT_EQ(decodedArg->context(), nullptr);
    ASSERT_EQ(decodedArg->actions().size(), 1u);
    EXPECT_EQ(std::static_pointer_cast<QRBDupAction>(decodedArg->actions()[0])->masterAction(), decodedArg);
}

TEST_F(ActionArchiveTest, KeysAreWrittenUnderTheirNames) {
    Document doc;
    auto arg = doc.addArgument("x");
    arg->dup();
    // Read back with the keys of the archive format itself.
    const std::string script = R"(
import plistlib, sys
a = plistlib.load(open(sys.argv[1], 'rb'))
objs = a['$objects']
def cls(o): return objs[o['$class'].data]['$classname']
for o in objs:
    if isinstance(o, dict) and '$class' in o and cls(o) in ('QRBContext', 'QRBConcreteAction', 'QRBDupAction'):
        print(cls(o), ' '.join(sorted(k for k in o if k != '$class')))
)";
    const std::string path = dir.file("keys.archive");
    KeyedArchiver::archiveRootObjectToFile(Value(doc.context), path);
    auto result = testsupport::runPython(script, path);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const std::vector<std::string> actionKeys = {"QRBActionName",
                                                 "QRBActionEventSource",
                                                 "QRBActionLogger",
                                                 "QRBActionEnabled",
                                                 "QRBActionMidiChannel",
                                                 "QRBActionInputMin",
                                                 "QRBActionInputMax",
                                                 "QRBActionOutputMin",
                                                 "QRBActionOutputMax",
                                                 "QRBActionInputCap",
                                                 "requireIntegralInputScalingsFormatting",
                                                 "argValue",
                                                 "inputArgValue",
                                                 "QRBActionContext",
                                                 "QRBActionUserInfo"};
    auto line = [&](const std::string& cls, std::vector<std::string> extra) {
        extra.insert(extra.end(), actionKeys.begin(), actionKeys.end());
        std::sort(extra.begin(), extra.end());
        std::string text = cls;
        for (const auto& key : extra) text += " " + key;
        return text + "\n";
    };
    const std::string expected = line("QRBContext", {"QRBContextActions", "QRBContextDemuxRank", "lastReceivedMessage",
                                                     "lastReceivedDate", "QRBContextLibHandler"}) +
                                 line("QRBConcreteAction", {"QRBActionDupActions"}) +
                                 line("QRBDupAction", {"QRBActionDupActions", "QRBDupActionMaster"});
    EXPECT_EQ(result.output, expected);
}

// ---- older documents ---------------------------------------------------------------------------

TEST_F(ActionArchiveTest, EveryKeyOfOlderDocumentsDecodesAsBefore) {
    using Check = std::function<void(const foundation::ObjectPtr&)>;
    struct Case {
        const char* name;
        std::vector<std::string> classes;
        HandWritten::Writer write;
        Check check;
    };
    auto action = [](const foundation::ObjectPtr& o) { return std::dynamic_pointer_cast<QRBAction>(o); };
    const Case cases[] = {
        {"linear scale and offset", kConcreteClasses,
         [](KeyedArchiver& c, const HandWritten&) {
             c.encodeDouble(0, "QRBActionScale");
             c.encodeDouble(2, "QRBActionOffset");
         },
         [&](const foundation::ObjectPtr& o) {
             auto a = action(o);
             EXPECT_EQ(a->inputMin(), 0);
             EXPECT_EQ(a->inputMax(), 1);
             EXPECT_EQ(a->outputMin(), 2);
             EXPECT_EQ(a->outputMax(), 3);
             EXPECT_FALSE(a->inputCap());
         }},
        {"linear scale 5 and offset -1", kConcreteClasses,
         [](KeyedArchiver& c, const HandWritten&) {
             c.encodeDouble(5, "QRBActionScale");
             c.encodeDouble(-1, "QRBActionOffset");
             c.encodeBool(true, "QRBActionInputCap");  // not part of the older form
         },
         [&](const foundation::ObjectPtr& o) {
             EXPECT_EQ(action(o)->outputMin(), -1);
             EXPECT_EQ(action(o)->outputMax(), 4);
             EXPECT_FALSE(action(o)->inputCap());
         }},
        {"no enabled flag, no channel", kConcreteClasses, [](KeyedArchiver&, const HandWritten&) {},
         [&](const foundation::ObjectPtr& o) {
             EXPECT_FALSE(action(o)->isEnabled());
             EXPECT_EQ(action(o)->channel(), 1);
             EXPECT_EQ(action(o)->name(), std::nullopt);
             EXPECT_EQ(action(o)->inputArgValue()->libloType(), 'N');
             EXPECT_EQ(action(o)->argValue()->libloType(), 'N');
             EXPECT_TRUE(action(o)->actions().empty());
             EXPECT_EQ(action(o)->context(), nullptr);
         }},
        {"channel 0 and a negative channel", kConcreteClasses,
         [](KeyedArchiver& c, const HandWritten&) { c.encodeInteger(-3, "QRBActionMidiChannel"); },
         [&](const foundation::ObjectPtr& o) { EXPECT_EQ(action(o)->channel(), 1); }},
        {"preset mapping path", kContextClasses,
         [](KeyedArchiver& c, const HandWritten&) { c.encodeString("/quorbital/preset", "QRBActionName"); },
         [&](const foundation::ObjectPtr& o) { EXPECT_EQ(action(o)->name(), "/quorbital/mapping"); }},
        {"argument type without a value", kConcreteClasses,
         [](KeyedArchiver& c, const HandWritten&) { c.encodeInt32('i', "QRBActionArgType"); },
         [&](const foundation::ObjectPtr& o) {
             EXPECT_EQ(action(o)->argValue()->libloType(), 'i');
             EXPECT_EQ(action(o)->inputArgValue()->libloType(), 'N');
         }},
        {"context user info", kContextClasses,
         [](KeyedArchiver& c, const HandWritten&) {
             c.encodeObject(Value(foundation::Dictionary{{"QRBContextIsExpanded", true}, {"_TriggerState", true}}),
                            "QRBContextUserInfo");
         },
         [&](const foundation::ObjectPtr& o) {
             EXPECT_EQ(action(o)->userInfoDictionary(), (foundation::Dictionary{{"QRBContextIsExpanded", true}}));
         }},
        {"action user info wins", kContextClasses,
         [](KeyedArchiver& c, const HandWritten&) {
             c.encodeObject(Value(foundation::Dictionary{{"k", 1}}), "QRBActionUserInfo");
             c.encodeObject(Value(foundation::Dictionary{{"k", 2}}), "QRBContextUserInfo");
         },
         [&](const foundation::ObjectPtr& o) { EXPECT_EQ(action(o)->userInfoValueForKey("k"), Value(1)); }},
        {"context name, no demultiplexing, no last message", kContextClasses,
         [](KeyedArchiver& c, const HandWritten& self) {
             c.encodeString("/old", "QRBContextName");
             c.encodeObject(Value(foundation::Array{self.others[0]->self(), self.others[1]->self()}),
                            "QRBContextActions");
         },
         [&](const foundation::ObjectPtr& o) {
             auto context = std::dynamic_pointer_cast<QRBContext>(o);
             ASSERT_TRUE(context);
             EXPECT_EQ(context->name(), "/old");
             EXPECT_EQ(context->demuxRank(), -1);
             EXPECT_TRUE(context->isTopLevel());
             ASSERT_EQ(context->actions().size(), 2u);
             EXPECT_EQ(context->actions()[1]->context(), context) << "the list makes the context";
             auto message = context->lastReceivedMessage();
             ASSERT_TRUE(message);
             EXPECT_EQ(message->path(), "/old");
             ASSERT_EQ(message->arguments().size(), 2u);
             EXPECT_FLOAT_EQ(message->arguments()[0]->floatValue(), 0.5f);
             EXPECT_EQ(message->arguments()[1]->int32Value(), 9);
             // The message holds values of its own, not the actions' inputs.
             EXPECT_NE(message->arguments()[0], context->actions()[0]->inputArgValue());
         }},
        {"a demultiplexed context gets no made-up message", kContextClasses,
         [](KeyedArchiver& c, const HandWritten&) {
             c.encodeString("/d", "QRBActionName");
             c.encodeInteger(0, "QRBContextDemuxRank");
         },
         [&](const foundation::ObjectPtr& o) {
             auto context = std::dynamic_pointer_cast<QRBContext>(o);
             EXPECT_EQ(context->demuxRank(), 0);
             EXPECT_EQ(context->lastReceivedMessage(), nullptr);
         }},
        {"a single-argument context's message holds its own input", kContextClasses,
         [](KeyedArchiver& c, const HandWritten&) {
             c.encodeString("/s", "QRBActionName");
             c.encodeObject(Value(QRBArg::argWithFloatValue(0.25f)), "inputArgValue");
         },
         [&](const foundation::ObjectPtr& o) {
             auto message = std::dynamic_pointer_cast<QRBContext>(o)->lastReceivedMessage();
             ASSERT_TRUE(message);
             ASSERT_EQ(message->arguments().size(), 1u);
             EXPECT_FLOAT_EQ(message->arguments()[0]->floatValue(), 0.25f);
         }},
        {"older class name of argument actions",
         {"QRBAction", "NSObject"},
         [](KeyedArchiver& c, const HandWritten&) { c.encodeString("arg", "QRBActionName"); },
         [&](const foundation::ObjectPtr& o) {
             EXPECT_TRUE(std::dynamic_pointer_cast<QRBConcreteAction>(o));
             EXPECT_FALSE(std::dynamic_pointer_cast<QRBDupAction>(o));
         }},
        {"older duplicate class",
         {"QRBDupConcreteAction", "QRBConcreteAction", "QRBAction", "NSObject"},
         [](KeyedArchiver&, const HandWritten&) {},
         [&](const foundation::ObjectPtr& o) { EXPECT_TRUE(std::dynamic_pointer_cast<QRBDupAction>(o)); }},
        {"older split class",
         {"QRBSplitAction", "QRBAction", "NSObject"},
         [](KeyedArchiver&, const HandWritten&) {},
         [&](const foundation::ObjectPtr& o) { EXPECT_TRUE(std::dynamic_pointer_cast<QRBDupAction>(o)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto root = handWritten(c.classes, c.write);
        // Two argument actions for the case that needs a list.
        auto arg0 = std::make_shared<QRBConcreteAction>();
        arg0->setInputArgValue(*QRBArg::argWithFloatValue(0.5f));
        auto arg1 = std::make_shared<QRBConcreteAction>();
        arg1->setInputArgValue(*QRBArg::argWithInt32Value(9));
        root->others = {
            handWritten(kConcreteClasses, [arg0](KeyedArchiver& k, const HandWritten&) { arg0->encodeWithCoder(k); }),
            handWritten(kConcreteClasses, [arg1](KeyedArchiver& k, const HandWritten&) { arg1->encodeWithCoder(k); })};
        foundation::ObjectPtr decoded;
        ASSERT_NO_THROW(decoded = decode(root).objectValue());
        ASSERT_TRUE(decoded);
        c.check(decoded);
    }
}

// ---- damaged documents -------------------------------------------------------------------------

TEST_F(ActionArchiveTest, DamagedArchivesAreRefusedWithAnArchiveError) {
    auto concrete = std::make_shared<QRBConcreteAction>();
    auto dupObject = std::make_shared<QRBDupAction>();
    auto writeArray = [](const char* key, foundation::Array array) {
        return [key, array](KeyedArchiver& c, const HandWritten&) { c.encodeObject(Value(array), key); };
    };
    struct Case {
        const char* name;
        std::function<std::shared_ptr<HandWritten>()> make;
    };
    const Case cases[] = {
        {"actions that are not an array",
         [&] {
             return handWritten(kContextClasses,
                                [](KeyedArchiver& c, const HandWritten&) { c.encodeInteger(3, "QRBContextActions"); });
         }},
        {"an entry that is not an action",
         [&] { return handWritten(kContextClasses, writeArray("QRBContextActions", {Value("text")})); }},
        {"a null entry", [&] { return handWritten(kContextClasses, writeArray("QRBContextActions", {Value()})); }},
        {"a duplicate among a context's actions",
         [&] { return handWritten(kContextClasses, writeArray("QRBContextActions", {Value(dupObject)})); }},
        {"a context inside itself",
         [&] {
             return handWritten(kContextClasses, [](KeyedArchiver& c, const HandWritten& self) {
                 c.encodeObject(Value(foundation::Array{self.self()}), "QRBContextActions");
             });
         }},
        {"two contexts inside each other",
         [&] {
             auto outer = handWritten(kContextClasses, [](KeyedArchiver& c, const HandWritten& self) {
                 c.encodeObject(Value(foundation::Array{self.others[0]->self()}), "QRBContextActions");
             });
             auto inner = handWritten(kContextClasses, [outerWeak = std::weak_ptr<HandWritten>(outer)](
                                                           KeyedArchiver& c, const HandWritten&) {
                 c.encodeObject(Value(foundation::Array{outerWeak.lock()->self()}), "QRBContextActions");
             });
             outer->others = {inner};
             return outer;
         }},
        {"one action in two lists",
         [&] {
             auto list = writeArray("QRBContextActions", {Value(concrete)});
             auto root = handWritten(kContextClasses, [](KeyedArchiver& c, const HandWritten& self) {
                 c.encodeObject(Value(foundation::Array{self.others[0]->self(), self.others[1]->self()}),
                                "QRBContextActions");
             });
             root->others = {handWritten(kContextClasses, list), handWritten(kContextClasses, list)};
             return root;
         }},
        {"one action twice in a list",
         [&] {
             return handWritten(kContextClasses, writeArray("QRBContextActions", {Value(concrete), Value(concrete)}));
         }},
        {"duplicates that are not an array",
         [&] { return handWritten(kConcreteClasses, writeArray("QRBActionDupActions", {Value(concrete)})); }},
        {"a duplicate with duplicates",
         [&] {
             return handWritten({"QRBDupAction", "QRBConcreteAction", "QRBAction", "NSObject"},
                                writeArray("QRBActionDupActions", {Value(std::make_shared<QRBDupAction>())}));
         }},
        {"a duplicate's master that is a duplicate",
         [&] {
             return handWritten(
                 {"QRBDupAction", "QRBConcreteAction", "QRBAction", "NSObject"},
                 [&](KeyedArchiver& c, const HandWritten&) { c.encodeObject(Value(dupObject), "QRBDupActionMaster"); });
         }},
        {"an unknown older argument type",
         [&] {
             return handWritten(kConcreteClasses,
                                [](KeyedArchiver& c, const HandWritten&) { c.encodeInt32('z', "QRBActionArgType"); });
         }},
        {"user info that is not a dictionary",
         [&] {
             return handWritten(kConcreteClasses,
                                [](KeyedArchiver& c, const HandWritten&) { c.encodeString("x", "QRBActionUserInfo"); });
         }},
        {"an output that is not an output",
         [&] {
             return handWritten(kConcreteClasses, [&](KeyedArchiver& c, const HandWritten&) {
                 c.encodeObject(Value(concrete), "QRBActionEventSource");
             });
         }},
        {"a value that is not a value",
         [&] {
             return handWritten(kConcreteClasses,
                                [](KeyedArchiver& c, const HandWritten&) { c.encodeString("x", "argValue"); });
         }},
        {"a context that is not a context",
         [&] {
             return handWritten(kConcreteClasses, [&](KeyedArchiver& c, const HandWritten&) {
                 c.encodeObject(Value(concrete), "QRBActionContext");
             });
         }},
        {"a channel that is not a number",
         [&] {
             return handWritten(kConcreteClasses, [](KeyedArchiver& c, const HandWritten&) {
                 c.encodeString("1", "QRBActionMidiChannel");
             });
         }},
        {"a manager that is not a manager",
         [&] {
             return handWritten(kContextClasses, [&](KeyedArchiver& c, const HandWritten&) {
                 c.encodeObject(Value(concrete), "QRBContextLibHandler");
             });
         }},
        {"a date that is not a date",
         [&] {
             return handWritten(kContextClasses, [](KeyedArchiver& c, const HandWritten&) {
                 c.encodeString("today", "lastReceivedDate");
             });
         }},
        {"a message that is not a message",
         [&] {
             return handWritten(kContextClasses, [&](KeyedArchiver& c, const HandWritten&) {
                 c.encodeObject(Value(concrete), "lastReceivedMessage");
             });
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(decode(c.make()), ArchiveError);
    }
}

TEST_F(ActionArchiveTest, AFoundDemultiplexingIndexBelowMinusOneMeansNone) {
    auto root = handWritten(kContextClasses, [](KeyedArchiver& c, const HandWritten&) {
        c.encodeString("/n", "QRBActionName");
        c.encodeInteger(-7, "QRBContextDemuxRank");
    });
    auto context = decode(root).object<QRBContext>();
    ASSERT_TRUE(context);
    EXPECT_EQ(context->demuxRank(), -1);
    EXPECT_TRUE(context->lastReceivedMessage());
}
