// Argument tokens of routes: the texts the user types and what they read back as, evaluation
// against contexts, single actions, the document's variables and other actions, undoable edits,
// equality and copies, archives (older ones and damaged ones), and random texts.

#include "core/support/PresetTestSupport.h"

#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBDupAction.h"
#include "core/outputs/QRBArgToken.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/UndoManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

using namespace firing;
using namespace presets;
using foundation::ArchiveError;
using foundation::Value;

namespace {

// What a token holds, in a few characters: the class's part of it and the type letter.
std::string contentOf(const QRBArgToken& token) {
    std::string type = token.type() == '=' ? "=" : std::string(1, static_cast<char>(token.type()));
    if (auto literal = dynamic_cast<const QRBArgTokenStatic*>(&token)) {
        const QRBArg& arg = *literal->arg();
        std::string value = arg.libloType() == 'f' ? foundation::format("%.9g", static_cast<double>(arg.floatValue()))
                                                   : arg.stringValue().value_or("?");
        return "static " + std::string(1, static_cast<char>(arg.libloType())) + " " + value + " " + type;
    }
    if (auto index = dynamic_cast<const QRBArgTokenIndexValue*>(&token))
        return std::string(index->typeSuffixString().value_or("?")) + " " + std::to_string(index->index()) + " " + type;
    if (auto group = dynamic_cast<const QRBArgTokenGroup*>(&token)) {
        std::string members;
        for (const auto& member : group->tokens()) members += "[" + contentOf(*member) + "]";
        return "group " + members;
    }
    if (dynamic_cast<const QRBArgTokenCopy*>(&token)) return "all " + type;
    return token.archivedClassName();
}

// A value as "type:text" ("f:0.25", "s:hello", "N:Nil").
std::string valueText(const QRBArg& value) {
    std::string text = value.libloType() == 'f' ? foundation::format("%g", static_cast<double>(value.floatValue()))
                                                : value.stringValue().value_or("?");
    return std::string(1, static_cast<char>(value.libloType())) + ":" + text;
}

std::vector<std::string> valueTexts(const std::vector<QRBArgPtr>& values) {
    std::vector<std::string> texts;
    for (const auto& v : values) texts.push_back(valueText(*v));
    return texts;
}

QRBArgTokenPtr parse(const std::string& text) { return QRBArgToken::parseArgToken(text); }

template <class T> std::shared_ptr<T> decodeRoot(const std::shared_ptr<foundation::Object>& root) {
    return presets::decode<T>(Value(root));
}

// The document's manager with its 128 variables.
class VariableHost : public PresetHost {
public:
    VariableHost() {
        for (auto& v : variables) v = std::make_shared<QRBArg>();
    }
    std::shared_ptr<QRBArg> variableValueAtIndex(uint64_t index) const override {
        return index < variables.size() ? variables[index] : nullptr;
    }
    std::array<QRBArgPtr, 128> variables;
};

// A document whose current preset has /three (a float, an int and a string received), /two (two
// floats) and /other; each context's own value and each argument action's scaled value are set
// apart from what was received, so that the tests see which one a token took.
class TokenTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    std::shared_ptr<RecordingConfigurator> configurator = [] {
        auto c = std::make_shared<RecordingConfigurator>();
        c->giveOutputs = false;
        return c;
    }();
    ConfiguratorScope scope{configurator};
    std::shared_ptr<VariableHost> host = std::make_shared<VariableHost>();
    QRBContextPtr three, two, other;

    void SetUp() override {
        host->receive(message("/three", {Float(2.5), Int(3), String("s")}));
        host->receive(message("/two", {Float(0.25), Float(0.5)}));
        host->receive(message("/other", {Float(0.1), Float(0.2)}));
        three = host->current()->contextWithName("/three");
        two = host->current()->contextWithName("/two");
        other = host->current()->contextWithName("/other");
        ASSERT_TRUE(three && two && other);
        ASSERT_EQ(three->actions().size(), 3u);
        three->setArgValue(*QRBArg::argWithFloatValue(9));
        two->setArgValue(*QRBArg::argWithFloatValue(8));
        arg(three, 0)->setArgValue(*QRBArg::argWithFloatValue(0.75f));
        arg(other, 1)->setArgValue(*QRBArg::argWithFloatValue(0.625f));
    }

    static QRBActionPtr arg(const QRBContextPtr& context, size_t index) { return context->actions()[index]; }

    std::vector<std::string> evaluate(const QRBArgToken& token, const QRBAction& action) {
        std::vector<QRBArgPtr> result;
        token.processAction(action, result);
        return valueTexts(result);
    }
};

}  // namespace

// ---- texts ----------------------------------------------------------------------------------------

TEST(QRBArgTokenText, ParsesShowsAndEditsEachFormAndTheEditingTextReadsBackAsTheSameToken) {
    struct Case {
        const char* text;
        const char* content;
        const char* display;
        const char* editing;
    };
    const Case cases[] = {
        {"$args", "all =", "<all args>", "$args"},
        {"$ARGS", "all =", "<all args>", "$args"},
        {"$args[2]", "all =", "<all args>", "$args"},
        {"  $ args", "all =", "<all args>", "$args"},
        {"$arg[0]", "arg 0 =", "arg[0]", "$arg[0]"},
        {"$Arg[2]", "arg 2 =", "arg[2]", "$arg[2]"},
        {"$argf[1]", "arg 1 f", "f:arg[1]", "$argf[1]"},
        {"$argF[2]", "arg 2 =", "arg[2]", "$arg[2]"},
        {"$argi[0]", "arg 0 i", "i:arg[0]", "$argi[0]"},
        // A string-typed argument index edits with the space: "$args[1]" is every argument.
        {"$arg s[1]", "arg 1 s", "s:arg[1]", "$arg s[1]"},
        {"$arg x[4]", "arg 4 =", "arg[4]", "$arg[4]"},
        {"$arg[ +3 ]", "arg 3 =", "arg[3]", "$arg[3]"},
        {"$arg[7", "arg 7 =", "arg[7]", "$arg[7]"},
        {"$arg[7]tail", "arg 7 =", "arg[7]", "$arg[7]"},
        {"$arg[2147483647]", "arg 2147483647 =", "arg[2147483647]", "$arg[2147483647]"},
        {"$vari[3]", "var 3 i", "i:var[3]", "$vari[3]"},
        {"$vars[5]", "var 5 s", "s:var[5]", "$vars[5]"},
        {"$VAR[127]", "var 127 =", "var[127]", "$var[127]"},
        {"$$", "static s $ =", "\"$\"", "$$"},
        {"$$tail", "static s $ =", "\"$\"", "$$"},
        {"$", "static s  =", "\"\"", "$"},
        {"$arg", "static s $arg =", "\"$arg\"", "$arg"},
        {"$arg[x]", "static s $arg[x] =", "\"$arg[x]\"", "$arg[x]"},
        {"$foo", "static s $foo =", "\"$foo\"", "$foo"},
        {"5", "static i 5 =", "5", "5"},
        {"  5 ", "static i 5 =", "5", "5"},
        {"-7", "static i -7 =", "-7", "-7"},
        {"0.25", "static f 0.25 =", "0.25", "0.25"},
        {"-0.5", "static f -0.5 =", "-0.50", "-0.50"},
        // Two decimals would read back as 0.12.
        {"0.125", "static f 0.125 =", "0.12", "0.125"},
        {"3.0", "static i 3 =", "3", "3"},
        {"1e3", "static i 1000 =", "1000", "1000"},
        // A number written with a fraction is a float, also when single precision makes it whole;
        // its editing text keeps a fraction so that it stays one.
        {"2.9999999999", "static f 3 =", "3.00", "3.0000001"},
        {"-2.9999999999", "static f -3 =", "-3.00", "-3.0000001"},
        {"1e-50", "static f 0 =", "0.00", "4e-46"},
        {"-1e-50", "static f -0 =", "-0.00", "-4e-46"},
        {"16777217.5", "static f 16777218 =", "16777218.00", "16777218.5"},
        {"2.5e-1", "static f 0.25 =", "0.25", "0.25"},
        {".5", "static f 0.5 =", "0.50", "0.50"},
        {"5.", "static i 5 =", "5", "5"},
        {"+5", "static i 5 =", "5", "5"},
        {"1E3", "static i 1000 =", "1000", "1000"},
        {"-0", "static i 0 =", "0", "0"},
        {"2147483647", "static i 2147483647 =", "2147483647", "2147483647"},
        {"-2147483648", "static i -2147483648 =", "-2147483648", "-2147483648"},
        // Whole numbers past 32 bits are floats rather than wrapped integers.
        {"3000000000", "static f 3e+09 =", "3000000000.00", "3000000000.00"},
        {"1,5", "static s 1,5 =", "\"1,5\"", "1,5"},
        {"\xe2\x88\x92"
         "0.5",
         "static s \xe2\x88\x92"
         "0.5 =",
         nullptr, nullptr},  // a minus sign, not a hyphen
        {"1 2", "static s 1 2 =", "\"1 2\"", "1 2"},
        {"inf", "static s inf =", "\"inf\"", "inf"},
        {"1e60", "static f 3.40282347e+38 =", nullptr, nullptr},
        {"0x10", "static s 0x10 =", "\"0x10\"", "0x10"},
        {"nan", "static s nan =", "\"nan\"", "nan"},
        {"1e", "static s 1e =", "\"1e\"", "1e"},
        {"hello", "static s hello =", "\"hello\"", "hello"},
        {"  padded ", "static s   padded  =", "\"  padded \"", "  padded "},
        {"()", "static s () =", "\"()\"", "()"},
        {"(", "static s ( =", "\"(\"", "("},
        {"(0,64,127)", "group [static i 0 =][static i 64 =][static i 127 =]", "(0,64,127)", "(0,64,127)"},
        {" (a, b) tail", "group [static s a =][static s  b =]", "(\"a\",\" b\")", "(a, b)"},
        {"($arg[1],$$,$)", "group [arg 1 =][static s $ =][static s  =]", "(arg[1],\"$\",\"\")", "($arg[1],$$,$)"},
        {"(a,b", "group [static s a =][static s b =]", "(\"a\",\"b\")", "(a,b)"},
        // Groups don't nest: the inner "(" is a literal and the first ")" ends the group.
        {"((a,b),c)", "group [static s (a =][static s b =]", "(\"(a\",\"b\")", "((a,b)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        QRBArgTokenPtr token = parse(c.text);
        ASSERT_TRUE(token);
        EXPECT_EQ(contentOf(*token), c.content);
        if (c.display) {
            EXPECT_EQ(token->displayString(), c.display);
        }
        std::optional<std::string> editing = token->editingString();
        ASSERT_TRUE(editing);
        if (c.editing) {
            EXPECT_EQ(*editing, c.editing);
        }
        QRBArgTokenPtr again = parse(*editing);
        ASSERT_TRUE(again) << *editing;
        EXPECT_TRUE(again->isEqualToArgToken(*token)) << contentOf(*again);
        EXPECT_EQ(again->displayString(), token->displayString());
    }
}

TEST(QRBArgTokenText, TextsThatStandForNoTokenGiveNone) {
    for (const std::optional<std::string>& text : std::vector<std::optional<std::string>>{
             std::nullopt, "", "(1,,2)", "(a,)", "(,)", "$arg[-1]", "$var [-2]", "$arg[2147483648]",
             "$var[99999999999999999999999]", "(1,$arg[-1])", "bad \xff byte", "\xc3"}) {
        SCOPED_TRACE(text.value_or("(none)"));
        EXPECT_EQ(QRBArgToken::parseArgToken(text), nullptr);
    }
}

TEST(QRBArgTokenText, LiteralsShowTheirTypeWhenItIsNotTheValuesOwn) {
    struct Case {
        const char* text;
        int32_t type;
        bool native;
        const char* display;
    };
    const Case cases[] = {
        {"5", 'i', true, "5"},
        {"5", 'f', false, "f:5"},
        {"5", 's', false, "s:5"},
        {"0.5", 'f', true, "0.50"},
        {"0.5", 'i', false, "i:0.50"},
        {"abc", 's', true, "\"abc\""},
        {"abc", 'i', false, "i:\"abc\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(foundation::format("%s as %c", c.text, c.type));
        auto token = std::make_shared<QRBArgTokenStatic>(c.text);
        token->setType(c.type);
        EXPECT_EQ(token->hasNativeType(), c.native);
        EXPECT_EQ(token->displayString(), c.display);
    }
    // The plain token shows only its type letter; it has no text to edit.
    EXPECT_EQ(QRBArgToken().displayString(), "");
    EXPECT_EQ(QRBArgToken('i').displayString(), "i");
    EXPECT_EQ(QRBArgToken('f').editingString(), std::nullopt);
}

TEST(QRBArgTokenText, OnlyTokensWithOneNumericValueCanBeGivenANumericType) {
    auto stringLiteral = [](const char* text) {
        auto token = std::make_shared<QRBArgTokenStatic>();
        token->setArg(*QRBArg::argWithStringValue(text));
        return token;
    };
    EXPECT_FALSE(parse("$args")->canCoerceToNumber());
    EXPECT_FALSE(parse("(1,2)")->canCoerceToNumber());
    EXPECT_TRUE(parse("$arg[1]")->canCoerceToNumber());
    EXPECT_TRUE(parse("$var[1]")->canCoerceToNumber());
    EXPECT_TRUE(parse("5")->canCoerceToNumber());
    EXPECT_TRUE(parse("0.5")->canCoerceToNumber());
    EXPECT_FALSE(parse("hello")->canCoerceToNumber());
    EXPECT_TRUE(stringLiteral(" 12 ")->canCoerceToNumber());
    EXPECT_TRUE(stringLiteral("-1.5e2")->canCoerceToNumber());
    EXPECT_FALSE(stringLiteral("12abc")->canCoerceToNumber());
    EXPECT_FALSE(stringLiteral("")->canCoerceToNumber());
}

// ---- evaluation -----------------------------------------------------------------------------------

TEST_F(TokenTest, ArgumentTokensTakeAContextsReceivedArgumentsAndASingleActionsScaledValue) {
    struct Case {
        const char* text;
        const char* on;  // "three", "two" or "single" (/three's first argument action)
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"$args", "three", {"f:2.5", "i:3", "s:s"}},
        {"$argsi[9]", "three", {"f:2.5", "i:3", "s:s"}},  // $args takes no type
        {"$args", "single", {"f:0.75"}},
        {"$arg[2]", "three", {"s:s"}},
        {"$arg[2]", "two", {"f:8"}},
        {"$arg[2]", "single", {"f:0.75"}},
        {"$arg[2147483647]", "three", {"f:9"}},
        {"$argi[0]", "three", {"i:3"}},  // 2.5 rounds half up
        {"$args[1]", "three", {"f:2.5", "i:3", "s:s"}},
        {"$arg s[1]", "three", {"s:3"}},
        {"$argf[1]", "single", {"f:0.75"}},
        {"5", "three", {"i:5"}},
        {"$$", "single", {"s:$"}},
        {"(a,b)", "single", {"s:b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(foundation::format("%s on %s", c.text, c.on));
        const QRBAction& action = std::string(c.on) == "three" ? *three
                                  : std::string(c.on) == "two" ? *two
                                                               : *arg(three, 0);
        EXPECT_EQ(evaluate(*parse(c.text), action), c.expected);
    }
    // A context's $args hands on the very values received; a single action's is a copy.
    std::vector<QRBArgPtr> result;
    parse("$args")->processAction(*three, result);
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result[0], three->lastReceivedMessage()->arguments()[0]);
    result.clear();
    parse("$args")->processAction(*arg(three, 0), result);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_NE(result[0], arg(three, 0)->argValue());
    // The plain token of a backmapping route: the action's own value in its type.
    EXPECT_EQ(evaluate(QRBArgToken('i'), *arg(three, 0)), std::vector<std::string>{"i:1"});
}

TEST_F(TokenTest, VariableTokensReadTheDocumentsVariablesAndNothingPastThem) {
    host->variables[3]->makeSameAsValue(*QRBArg::argWithInt32Value(7));
    host->variables[127]->makeSameAsValue(*QRBArg::argWithFloatValue(1.5f));
    struct Case {
        const char* text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"$var[3]", {"i:7"}},   {"$vars[3]", {"s:7"}}, {"$varf[127]", {"f:1.5"}},
        {"$var[0]", {"N:Nil"}}, {"$var[128]", {}},     {"$var[2147483647]", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(evaluate(*parse(c.text), *arg(three, 0)), c.expected);
    }
    // Values are read when the route fires, not when the token is made.
    auto token = parse("$var[3]");
    host->variables[3]->setInt32Value(8);
    EXPECT_EQ(evaluate(*token, *three), std::vector<std::string>{"i:8"});
    // An action outside any document has no variables.
    auto loose = std::make_shared<QRBConcreteAction>();
    EXPECT_EQ(evaluate(*token, *loose), std::vector<std::string>{});
}

TEST(QRBArgTokenGroupChoice, TheValueChoosesAMemberByItsPlaceInTheOutputRangesWidth) {
    struct Case {
        double outMin, outMax;
        QRBArgPtr value;
        const char* chosen;  // nullptr: nothing
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {0, 1, QRBArg::argWithFloatValue(0.2f), "a"},
        {0, 1, QRBArg::argWithFloatValue(1 / 3.0f + 1e-6f), "b"},
        {0, 1, QRBArg::argWithFloatValue(0.9f), "c"},
        {0, 2, QRBArg::argWithFloatValue(1.0f), "b"},
        // The value itself, not its distance from the minimum: 3 × 3 / 2 = 4, lowered to the last.
        {1, 3, QRBArg::argWithFloatValue(3.0f), "c"},
        {1, 0, QRBArg::argWithFloatValue(0.5f), "b"},
        {0, 1, QRBArg::argWithFloatValue(-5.0f), "a"},
        {0, 1, QRBArg::argWithInt32Value(1), "c"},
        {0, 1, QRBArg::argWithFloatValue(inf), "c"},
        {0, 1, QRBArg::argWithFloatValue(-inf), "a"},
        {0, 1, QRBArg::argWithFloatValue(std::nanf("")), nullptr},
        {0.5, 0.5, QRBArg::argWithFloatValue(0.5f), nullptr},
        {0, 1, QRBArg::argWithStringValue("x"), nullptr},
    };
    auto group = parse("(a,b,c)");
    for (const auto& c : cases) {
        SCOPED_TRACE(foundation::format("%g..%g value %s", c.outMin, c.outMax, c.value->description().c_str()));
        auto action = std::make_shared<QRBConcreteAction>();
        action->setOutputMin(c.outMin);
        action->setOutputMax(c.outMax);
        action->setArgValue(*c.value);
        std::vector<QRBArgPtr> result;
        group->processAction(*action, result);
        if (!c.chosen) {
            EXPECT_TRUE(result.empty());
        } else {
            ASSERT_EQ(result.size(), 1u);
            EXPECT_EQ(result[0]->stringValue(), c.chosen);
        }
    }
}

TEST_F(TokenTest, ReferenceTokensTakeTheValueOfTheActionAtTheirLocation) {
    auto target = arg(other, 1);
    auto location = target->location();
    auto dup = std::static_pointer_cast<QRBConcreteAction>(target)->dup();
    ASSERT_TRUE(dup);

    auto byRef = std::make_shared<QRBArgTokenByRef>(location, 'f');
    EXPECT_EQ(byRef->displayString(), "f:bref " + location->displayName());
    EXPECT_EQ(byRef->editingString(), std::nullopt);
    EXPECT_EQ(evaluate(*byRef, *arg(three, 0)), std::vector<std::string>{"f:0.625"});

    // The update token first writes the firing value into the action and its duplicates.
    auto update = std::make_shared<QRBArgTokenUpdateRef>(location, 's');
    EXPECT_EQ(update->displayString(), "s:uref " + location->displayName());
    EXPECT_EQ(evaluate(*update, *arg(three, 0)), std::vector<std::string>{"s:0.75"});
    EXPECT_EQ(target->argValue()->floatValue(), 0.75f);
    EXPECT_EQ(dup->argValue()->floatValue(), 0.75f);

    // A location is resolved each time: once nothing is there, nothing is appended or written.
    host->current()->removeObject(other);
    arg(three, 0)->setArgValue(*QRBArg::argWithFloatValue(0.5f));
    EXPECT_EQ(evaluate(*byRef, *arg(three, 0)), std::vector<std::string>{});
    EXPECT_EQ(evaluate(*update, *arg(three, 0)), std::vector<std::string>{});
    EXPECT_EQ(target->argValue()->floatValue(), 0.75f);
}

// ---- edits, equality, copies ----------------------------------------------------------------------

TEST(QRBArgTokenEditing, TypeAndIndexChangesAreUndoableAndOtherLettersKeepTheValuesType) {
    auto undo = std::make_shared<foundation::UndoManager>();
    auto token = std::static_pointer_cast<QRBArgTokenIndexValue>(parse("$arg[1]"));
    token->setUndoManager(undo);

    token->setType('f');
    token->setIndex(4);
    undo->closeEventGroup();
    EXPECT_EQ(token->editingString(), "$argf[4]");
    undo->undo();
    EXPECT_EQ(token->editingString(), "$arg[1]");
    undo->redo();
    EXPECT_EQ(token->editingString(), "$argf[4]");

    // Unchanged values register nothing; letters other than f, i and s become '='.
    token->setType('f');
    token->setIndex(4);
    undo->closeEventGroup();
    EXPECT_EQ(undo->undoActionName(), "");
    token->setType('h');
    undo->closeEventGroup();
    EXPECT_EQ(token->type(), '=');
    undo->undo();
    EXPECT_EQ(token->type(), 'f');

    // Indexes past any argument or variable are kept as the largest that archives as 32 bits.
    token->setIndex(std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(token->index(), QRBArgTokenIndexValue::kMaxIndex);
    EXPECT_TRUE(decodeRoot<QRBArgToken>(token)->isEqualToArgToken(*token));

    // A group's members edit through the route's undo manager too.
    auto group = std::static_pointer_cast<QRBArgTokenGroup>(parse("($arg[0],1)"));
    group->setUndoManager(undo);
    group->tokens()[0]->setType('i');
    undo->closeEventGroup();
    undo->undo();
    EXPECT_EQ(group->tokens()[0]->type(), '=');
}

TEST(QRBArgTokenEditing, TokensAreEqualWhenTheyWouldSendTheSame) {
    auto here = QRBActionLocation::locationWithContextName("/a", foundation::Array{1}, "/a[1]");
    auto there = QRBActionLocation::locationWithContextName("/a", foundation::Array{2}, "/a[2]");
    auto renamed = QRBActionLocation::locationWithContextName("/a", foundation::Array{1}, "/a[1: level]");
    struct Case {
        QRBArgTokenPtr a, b;
        bool equal;
    };
    const Case cases[] = {
        {parse("5"), parse(" 5"), true},
        {parse("5"), parse("6"), false},
        {parse("5"), parse("5.5"), false},
        {parse("$arg[1]"), parse("$ARG[1]"), true},
        {parse("$arg[1]"), parse("$arg[2]"), false},
        {parse("$arg[1]"), parse("$argi[1]"), false},
        {parse("$arg[1]"), parse("$var[1]"), false},
        {parse("$args"), parse("$args[3]"), true},
        // Different kinds of token never send the same, whatever their type letters.
        {parse("$args"), parse("(1,2)"), false},
        {parse("(1,2)"), parse("(1,2)"), true},
        {parse("(1,2)"), parse("(1,3)"), false},
        {parse("(1,2)"), parse("(1,2,3)"), false},
        {std::make_shared<QRBArgTokenByRef>(here, 'f'), std::make_shared<QRBArgTokenByRef>(renamed, 'f'), true},
        {std::make_shared<QRBArgTokenByRef>(here, 'f'), std::make_shared<QRBArgTokenByRef>(there, 'f'), false},
        {std::make_shared<QRBArgTokenByRef>(here, 'f'), std::make_shared<QRBArgTokenUpdateRef>(here, 'f'), false},
        {std::make_shared<QRBArgToken>('i'), std::make_shared<QRBArgToken>('i'), true},
        {std::make_shared<QRBArgToken>('i'), std::make_shared<QRBArgToken>('f'), false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].a->isEqualToArgToken(*cases[i].b), cases[i].equal);
        EXPECT_EQ(cases[i].b->isEqualToArgToken(*cases[i].a), cases[i].equal);
    }
}

TEST(QRBArgTokenEditing, CopiesAreEqualAndIndependent) {
    auto location = QRBActionLocation::locationWithContextName("/a", foundation::Array{1}, "/a[1]");
    const QRBArgTokenPtr originals[] = {
        parse("$args"),
        parse("0.25"),
        parse("$argi[2]"),
        parse("$vars[3]"),
        parse("(a,$arg[1])"),
        std::make_shared<QRBArgTokenByRef>(location, 'i'),
        std::make_shared<QRBArgTokenUpdateRef>(location, '='),
        std::make_shared<QRBArgToken>('s'),
    };
    for (const auto& original : originals) {
        SCOPED_TRACE(original->archivedClassName());
        auto copy = original->copy();
        EXPECT_EQ(copy->archivedClassName(), original->archivedClassName());
        EXPECT_TRUE(copy->isEqualToArgToken(*original));
        copy->setType(original->type() == 'f' ? 'i' : 'f');
        EXPECT_FALSE(copy->isEqualToArgToken(*original));
    }
    auto literal = std::static_pointer_cast<QRBArgTokenStatic>(parse("5"));
    auto literalCopy = std::static_pointer_cast<QRBArgTokenStatic>(literal->copy());
    literalCopy->arg()->setInt32Value(6);
    EXPECT_EQ(literal->arg()->int32Value(), 5);
    auto group = std::static_pointer_cast<QRBArgTokenGroup>(parse("(a,b)"));
    auto groupCopy = std::static_pointer_cast<QRBArgTokenGroup>(group->copy());
    EXPECT_NE(groupCopy->tokens()[0], group->tokens()[0]);
    auto ref = std::make_shared<QRBArgTokenByRef>(location, 'i');
    EXPECT_NE(std::static_pointer_cast<QRBArgTokenByRef>(ref->copy())->location(), ref->location());
}

TEST(QRBArgTokenEditing, AGroupWithoutMembersIsAProgrammingError) {
    try {
        QRBArgTokenGroup group{std::vector<QRBArgTokenPtr>{}};
        FAIL() << "no exception";
    } catch (const foundation::AssertionFailure& e) {
        EXPECT_EQ(e.reason(), "Invalid parameter not satisfying: count > 0");
    }
}

// ---- archives -------------------------------------------------------------------------------------

TEST(QRBArgTokenArchive, EveryKindOfTokenComesBackEqual) {
    auto location = QRBActionLocation::locationWithContextName("/a", foundation::Array{"left", 1}, "/a left[1]");
    auto undo = std::make_shared<foundation::UndoManager>();
    const QRBArgTokenPtr originals[] = {
        parse("$args"),
        parse("0.125"),
        parse("hello"),
        parse("$arg s[2]"),
        parse("$vari[127]"),
        parse("(0,$argf[1],$$)"),
        std::make_shared<QRBArgTokenByRef>(location, 'f'),
        std::make_shared<QRBArgTokenUpdateRef>(location, 'i'),
        std::make_shared<QRBArgToken>('s'),
        std::make_shared<QRBArgToken>(),
    };
    foundation::Array list;
    for (const auto& token : originals) {
        token->setUndoManager(undo);
        list.emplace_back(token);
    }
    auto decoded = foundation::KeyedUnarchiver::unarchiveObjectWithData(
        foundation::KeyedArchiver::archivedDataWithRootObject(Value(list)));
    ASSERT_TRUE(decoded.arrayValue());
    ASSERT_EQ(decoded.arrayValue()->size(), std::size(originals));
    for (size_t i = 0; i < std::size(originals); ++i) {
        SCOPED_TRACE(originals[i]->archivedClassName());
        auto token = (*decoded.arrayValue())[i].object<QRBArgToken>();
        ASSERT_TRUE(token);
        EXPECT_EQ(token->archivedClassName(), originals[i]->archivedClassName());
        EXPECT_TRUE(token->isEqualToArgToken(*originals[i]));
        EXPECT_EQ(token->displayString(), originals[i]->displayString());
        // The route hands its undo manager over again; an archive holds none.
        EXPECT_EQ(token->undoManager(), nullptr);
    }
    auto ref = (*decoded.arrayValue())[6].object<QRBArgTokenByRef>();
    EXPECT_EQ(ref->location()->displayName(), "/a left[1]");
    EXPECT_EQ(ref->location()->pathComponents(), (foundation::Array{"left", 1}));
}

TEST(QRBArgTokenArchive, ReadsTheKeysOfOlderAndHandWrittenArchives) {
    using Check = std::function<void(const QRBArgToken&)>;
    struct Case {
        const char* name;
        std::shared_ptr<RawRecord> record;
        Check check;
    };
    auto literal = [](const QRBArgToken& t) { return *static_cast<const QRBArgTokenStatic&>(t).arg(); };
    const Case cases[] = {
        {"a literal's text, version 1",
         RawRecord::make("QRBArgTokenStatic")->set("Version", 1)->set("QRBArgTokenArg", "12"),
         [&](const QRBArgToken& t) {
             EXPECT_EQ(valueText(literal(t)), "i:12");
             EXPECT_EQ(t.type(), '=');
         }},
        {"a literal's text without a version",
         RawRecord::make("QRBArgTokenStatic")->set("QRBArgTokenArg", " 0.5 ")->set("QRBArgTokenType", 'f'),
         [&](const QRBArgToken& t) {
             EXPECT_EQ(valueText(literal(t)), "f:0.5");
             EXPECT_EQ(t.type(), 'f');
         }},
        {"a literal's number, version 1",
         RawRecord::make("QRBArgTokenStatic")->set("Version", 1)->set("QRBArgTokenArg", 0.25),
         [&](const QRBArgToken& t) { EXPECT_EQ(valueText(literal(t)), "f:0.25"); }},
        {"a literal's word, version 1",
         RawRecord::make("QRBArgTokenStatic")->set("Version", 1)->set("QRBArgTokenArg", "word"),
         [&](const QRBArgToken& t) { EXPECT_EQ(valueText(literal(t)), "s:word"); }},
        {"a literal without its value", RawRecord::make("QRBArgTokenStatic")->set("Version", 2),
         [&](const QRBArgToken& t) { EXPECT_EQ(valueText(literal(t)), "N:Nil"); }},
        {"a literal's value, version 2",
         RawRecord::make("QRBArgTokenStatic")
             ->set("Version", 2)
             ->set("QRBArgTokenArg", Value(QRBArg::argWithInt32Value(12)))
             ->set("QRBArgTokenType", 's'),
         [&](const QRBArgToken& t) {
             EXPECT_EQ(valueText(literal(t)), "i:12");
             EXPECT_EQ(t.displayString(), "s:12");
         }},
        {"an argument index",
         RawRecord::make("QRBArgTokenIndexValue")->set("QRBArgTokenIndex", 3)->set("QRBArgTokenType", 'i'),
         [&](const QRBArgToken& t) { EXPECT_EQ(t.editingString(), "$argi[3]"); }},
        {"an index past 32 bits", RawRecord::make("QRBArgTokenVarRef")->set("QRBArgTokenIndex", 5000000000LL),
         [&](const QRBArgToken& t) { EXPECT_EQ(t.editingString(), "$var[2147483647]"); }},
        {"a variable without its type", RawRecord::make("QRBArgTokenVarRef")->set("QRBArgTokenIndex", 9),
         [&](const QRBArgToken& t) { EXPECT_EQ(t.editingString(), "$var[9]"); }},
        {"a type letter the language does not know", RawRecord::make("QRBArgTokenCopy")->set("QRBArgTokenType", 'b'),
         [&](const QRBArgToken& t) { EXPECT_EQ(t.type(), '='); }},
        {"a group",
         RawRecord::make("QRBArgTokenGroup")
             ->set("tokens", Value(foundation::Array{Value(parse("1")), Value(parse("$args"))})),
         [&](const QRBArgToken& t) { EXPECT_EQ(t.editingString(), "(1,$args)"); }},
        {"a reference without a location", RawRecord::make("QRBArgTokenByRef")->set("QRBArgTokenType", 'f'),
         [&](const QRBArgToken& t) {
             EXPECT_EQ(static_cast<const QRBArgTokenByRef&>(t).location(), nullptr);
             EXPECT_EQ(t.displayString(), "f:bref ");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<QRBArgToken> token;
        ASSERT_NO_THROW(token = decodeRoot<QRBArgToken>(c.record));
        ASSERT_TRUE(token);
        c.check(*token);
    }
}

TEST(QRBArgTokenArchive, RefusesDamagedArchives) {
    auto selfHolding = RawRecord::make("QRBArgTokenGroup");
    selfHolding->set("tokens", Value(foundation::Array{Value(selfHolding)}));
    auto inner = RawRecord::make("QRBArgTokenGroup");
    auto outer = RawRecord::make("QRBArgTokenGroup")->set("tokens", Value(foundation::Array{Value(inner)}));
    inner->set("tokens", Value(foundation::Array{Value(outer)}));
    const std::pair<const char*, std::shared_ptr<RawRecord>> cases[] = {
        {"a group without members", RawRecord::make("QRBArgTokenGroup")->set("tokens", Value(foundation::Array{}))},
        {"a group without its list", RawRecord::make("QRBArgTokenGroup")},
        {"a group of something else",
         RawRecord::make("QRBArgTokenGroup")->set("tokens", Value(foundation::Array{"1"}))},
        {"a group inside itself", selfHolding},
        {"groups inside each other", outer},
        {"a negative index", RawRecord::make("QRBArgTokenIndexValue")->set("QRBArgTokenIndex", -1)},
        {"a location that is text", RawRecord::make("QRBArgTokenByRef")->set("location", "/a")},
        {"a literal's value that is no value",
         RawRecord::make("QRBArgTokenStatic")->set("Version", 2)->set("QRBArgTokenArg", Value(parse("1")))},
    };
    for (const auto& [name, record] : cases) {
        SCOPED_TRACE(name);
        EXPECT_THROW(decodeRoot<QRBArgToken>(record), ArchiveError);
    }
    // The records that hold each other.
    selfHolding->clear();
    inner->clear();
    outer->clear();
}

TEST_F(TokenTest, AnOlderReferenceToAnActionTakesThatActionsLocation) {
    auto target = arg(other, 1);
    // In either order: the token may be read before or after the context that holds the action.
    for (bool tokenFirst : {false, true}) {
        SCOPED_TRACE(tokenFirst ? "token first" : "context first");
        auto record = RawRecord::make("QRBArgTokenUpdateRef")
                          ->set("QRBArgTokenType", 'f')
                          ->set("QRBArgTokenRefAction", Value(target));
        foundation::Array root = tokenFirst ? foundation::Array{Value(record), Value(other)}
                                            : foundation::Array{Value(other), Value(record)};
        auto decoded = foundation::KeyedUnarchiver::unarchiveObjectWithData(
            foundation::KeyedArchiver::archivedDataWithRootObject(Value(root)));
        auto token = (*decoded.arrayValue())[tokenFirst ? 0 : 1].object<QRBArgTokenUpdateRef>();
        ASSERT_TRUE(token);
        EXPECT_EQ(token->displayString(), "f:uref " + target->fullDisplayName());
        ASSERT_TRUE(token->location());
        EXPECT_EQ(token->location()->contextName(), "/other");
        EXPECT_EQ(token->location()->pathComponents(), target->pathComponents());
        // It resolves in the document like any location, and archives as one.
        EXPECT_EQ(evaluate(*token, *arg(three, 0)), std::vector<std::string>{"f:0.75"});
        auto again = decodeRoot<QRBArgTokenUpdateRef>(token);
        EXPECT_TRUE(again->isEqualToArgToken(*token));
    }
}

// ---- random texts ---------------------------------------------------------------------------------

TEST_F(TokenTest, RandomTextsNeverRaiseAndWhatTheyGiveEditsBackToTheSameToken) {
    const std::string alphabet = "$$$(((),,,[[]]argsvARGifs 0123456789.-+eE\t\xff\xc3\xa9x";
    std::mt19937 random(20240611);
    std::uniform_int_distribution<size_t> length(0, 24);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> anyByte(0, 255);
    int tokens = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const size_t n = length(random);
        for (size_t i = 0; i < n; ++i)
            text += round % 5 == 0 ? static_cast<char>(anyByte(random)) : alphabet[pick(random)];
        SCOPED_TRACE(::testing::PrintToString(text));
        QRBArgTokenPtr token;
        ASSERT_NO_THROW(token = QRBArgToken::parseArgToken(text));
        if (!token) continue;
        ++tokens;
        ASSERT_NO_THROW({
            token->displayString();
            token->canCoerceToNumber();
            for (const QRBActionPtr& action : {QRBActionPtr(three), arg(two, 1)}) {
                std::vector<QRBArgPtr> result;
                token->processAction(*action, result);
            }
            auto decoded = decodeRoot<QRBArgToken>(token);
            EXPECT_TRUE(decoded->isEqualToArgToken(*token));
            EXPECT_TRUE(token->copy()->isEqualToArgToken(*token));
        });
        std::optional<std::string> editing = token->editingString();
        ASSERT_TRUE(editing);
        QRBArgTokenPtr again = QRBArgToken::parseArgToken(*editing);
        ASSERT_TRUE(again) << *editing;
        EXPECT_TRUE(again->isEqualToArgToken(*token))
            << *editing << " gives " << contentOf(*again) << ", not " << contentOf(*token);
    }
    EXPECT_GT(tokens, 1000);

    // Parentheses pasted by the thousand make one group, not a recursion as deep as the text.
    auto deep = QRBArgToken::parseArgToken(std::string(200000, '(') + "1)");
    ASSERT_TRUE(deep);
    EXPECT_EQ(contentOf(*deep), "group [static s " + std::string(199999, '(') + "1 =]");
}
