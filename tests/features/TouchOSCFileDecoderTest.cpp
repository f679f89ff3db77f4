// Touch-layout import: layout archives made here with python's zipfile, read into routes. Base64
// names and addresses of newer layouts, plain ones of older, page-numbered default addresses,
// one route per address, controls outside a numbered page, archives that are not zips or hold
// more than one document, values that do not decode, the cap on what an archive unpacks to, and
// layouts built to cost more than their size (entities, deep nesting, overlong addresses).

#include "features/TouchOSCFileDecoder.h"
#include "foundation/Log.h"
#include "support/TestSupport.h"
#include "zz/Base64.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string b64(const std::string& text) {
    return Base64::encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string control(const std::string& name, const std::string& address) {
    return "<control type=\"push\" name=\"" + name + "\" osc_cs=\"" + address + "\" x=\"1\" y=\"2\"></control>";
}

std::string layout(const std::string& version, const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><layout version=\"" + version +
           "\" mode=\"0\" orientation=\"vertical\">" + body + "</layout>";
}

std::string page(const std::string& name, const std::string& controls) {
    return "<tabpage name=\"" + name + "\" scalef=\"0.0\">" + controls + "</tabpage>";
}

class TouchLayoutTest : public ::testing::Test {
protected:
    using Entries = std::vector<std::pair<std::string, std::string>>;

    // Zip archives of the entries, in order, one per name; answers their paths. Made in one run
    // of python, which is slow to start.
    std::vector<std::string> zip(const std::vector<std::pair<std::string, Entries>>& archives) {
        std::ofstream manifest(dir.file("manifest"));
        std::vector<std::string> paths;
        for (const auto& [name, entries] : archives) {
            paths.push_back(dir.file(name));
            manifest << paths.back() << "\n";
            for (size_t i = 0; i < entries.size(); ++i) {
                const std::string source = dir.file(name + ".entry" + std::to_string(i));
                std::ofstream(source, std::ios::binary) << entries[i].second;
                manifest << "\t" << entries[i].first << "\t" << source << "\n";
            }
        }
        manifest.close();
        const auto made = testsupport::runPython(R"(
import sys, zipfile
archives = []
for line in open(sys.argv[1]).read().splitlines():
    if line.startswith('\t'):
        archives[-1][1].append(line[1:].split('\t'))
    else:
        archives.append((line, []))
for path, entries in archives:
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as archive:
        for entry, source in entries:
            archive.write(source, entry)
)",
                                                 "'" + dir.file("manifest") + "'");
        EXPECT_EQ(made.exitCode, 0) << made.output;
        return paths;
    }

    static std::vector<std::string> addresses(const std::vector<QRBRouteEventSourcePtr>& routes) {
        std::vector<std::string> result;
        for (const auto& route : routes) result.push_back(route->rewriteAddress().value_or("(none)"));
        return result;
    }

    testsupport::TempDir dir;
};

}  // namespace

TEST_F(TouchLayoutTest, ControlsBecomeOneRoutePerAddress) {
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
        std::vector<std::string> expected;
    } cases[] = {
        {"version 9 in Base64",
         {{"index.xml",
           layout("9", page(b64("2"), control(b64("push1"), "") + control(b64("fader1"), b64("/mix/volume")) +
                                          control(b64("Ménage"), "")))}},
         {"/2/push1", "/mix/volume", "/2/Ménage"}},
        {"version 8 plain",
         {{"index.xml", layout("8", page("1", control("push1", "") + control("cHVzaDE=", "") + control("x", "/x")))}},
         {"/1/push1", "/1/cHVzaDE=", "/x"}},
        {"one route per address, in order of first appearance",
         {{"index.xml", layout("8", page("1", control("a", "/same") + control("push1", "") + control("b", "/same")) +
                                        page("2", control("c", "/1/push1") + control("push1", "")))}},
         {"/same", "/1/push1", "/2/push1"}},
        {"only numbered pages count",
         {{"index.xml", layout("8", control("early", "/early") + page("main", control("a", "/a")) +
                                        page("-1", control("b", "/b")) + page("3", control("c", "")))}},
         {"/3/c"}},
        {"a second document ends the reading",
         {{"index.xml", layout("8", page("1", control("a", "/first")))},
          {"other.xml", layout("8", page("1", control("b", "/second")))}},
         {"/first"}},
        {"entries are read as one stream",
         {{"head.xml", "<?xml version=\"1.0\"?><layout version=\"8\"><tabpage name=\"1\">" + control("a", "/a")},
          {"tail.xml", control("b", "/b") + "</tabpage></layout>"}},
         {"/a", "/b"}},
        {"values that do not decode are empty",
         {{"index.xml",
           layout("9", page(b64("4"), control(b64("push1"), "!!!!") + control(b64("push2"), b64("\xFF\xFE/x")) +
                                          control("ab=c", b64("/ok")) + control("@@@@", "")) +
                           page("?!", control(b64("lost"), b64("/lost"))))}},
         {"/4/push1", "/4/push2", "/ok", "/4/"}},
        {"not XML", {{"index.xml", "\x89PNG not a layout"}}, {}},
        {"an empty archive", {}, {}},
    };
    std::vector<std::pair<std::string, Entries>> archives;
    for (size_t i = 0; i < std::size(cases); ++i)
        archives.emplace_back("case" + std::to_string(i) + ".touchosc", cases[i].entries);
    const std::vector<std::string> paths = zip(archives);
    for (size_t i = 0; i < std::size(cases); ++i) {
        TouchOSCFileDecoder decoder(paths[i]);
        EXPECT_EQ(addresses(decoder.decodeRoutes()), cases[i].expected) << cases[i].name;
    }
}

TEST_F(TouchLayoutTest, AFileThatIsNotAZipGivesNothing) {
    const std::string text = dir.file("layout.touchosc");
    std::ofstream(text) << layout("8", page("1", control("a", "/a")));
    const std::string truncated =
        zip({{"whole.touchosc", {{"index.xml", layout("8", page("1", control("a", "/a")))}}}})[0];
    std::string bytes;
    {
        std::ifstream in(truncated, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::ofstream(dir.file("half.touchosc"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    for (const std::string& path : {text, dir.file("half.touchosc"), dir.file("missing.touchosc"), dir.path()}) {
        TouchOSCFileDecoder decoder(path);
        EXPECT_TRUE(decoder.decodeRoutes().empty()) << path;
    }
}

TEST_F(TouchLayoutTest, AnArchiveThatUnpacksBeyondTheCapGivesNothing) {
    // The same layout padded with white space inside the page: just under the cap, and past it.
    const std::string head = layout("8", "").substr(0, layout("8", "").size() - std::string("</layout>").size()) +
                             page("1", control("a", "/a")) + "<tabpage name=\"2\">" + control("b", "/b");
    const std::string tail = "</tabpage></layout>";
    const size_t room = TouchOSCFileDecoder::kMaximumLayoutSize - head.size() - tail.size();
    const auto made =
        testsupport::runPython(R"(
import sys, zipfile
folder, head, tail, room = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
for name, padding in (('within', room), ('beyond', room + 1)):
    with zipfile.ZipFile(folder + '/' + name + '.touchosc', 'w', zipfile.ZIP_DEFLATED) as archive:
        with archive.open('index.xml', 'w') as entry:
            entry.write(head.encode())
            block = b' ' * (1 << 20)
            while padding > 0:
                entry.write(block[:min(padding, len(block))])
                padding -= min(padding, len(block))
            entry.write(tail.encode())
)",
                               "'" + dir.path() + "' '" + head + "' '" + tail + "' " + std::to_string(room));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    TouchOSCFileDecoder within(dir.file("within.touchosc"));
    EXPECT_EQ(addresses(within.decodeRoutes()), (std::vector<std::string>{"/a", "/b"}));
    TouchOSCFileDecoder beyond(dir.file("beyond.touchosc"));
    EXPECT_TRUE(beyond.decodeRoutes().empty());
}

TEST_F(TouchLayoutTest, HostileLayoutsAreRefusedWithALineNamingTheFile) {
    // Each would cost far more to read than its size: entity definitions expand a few kilobytes
    // to gigabytes, open tags pile up on the parser's stack. The controls that follow the
    // hostile part must not be imported either.
    const std::string valid = page("1", control("a", "/a"));
    std::string laughs = "<!DOCTYPE layout [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i)
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + [&] {
            std::string ten;
            for (int k = 0; k < 10; ++k) ten += "&l" + std::to_string(i - 1) + ";";
            return ten;
        }() + "\">";
    laughs += "]>";
    std::string deep;
    for (size_t i = 0; i < TouchOSCFileDecoder::kMaximumNesting; ++i) deep += "<g>";
    std::string deepEnd;
    for (size_t i = 0; i < TouchOSCFileDecoder::kMaximumNesting; ++i) deepEnd += "</g>";
    struct Case {
        std::string name;
        std::string xml;
        std::string logged;
    } cases[] = {
        {"entity expansion",
         "<?xml version=\"1.0\"?>" + laughs + "<layout version=\"8\">" + page("1", control("&l9;", "")) + valid +
             "</layout>",
         "document type declaration"},
        {"a plain document type declaration",
         "<?xml version=\"1.0\"?><!DOCTYPE layout SYSTEM \"layout.dtd\"><layout version=\"8\">" + valid + "</layout>",
         "document type declaration"},
        {"nesting past the cap", layout("8", valid + page("2", deep + deepEnd)), "nests its elements more than"},
    };
    std::vector<std::pair<std::string, Entries>> archives;
    for (size_t i = 0; i < std::size(cases); ++i)
        archives.push_back({"hostile" + std::to_string(i) + ".touchosc", {{"index.xml", cases[i].xml}}});
    const std::vector<std::string> paths = zip(archives);
    for (size_t i = 0; i < std::size(cases); ++i) {
        foundation::LogCapture log;
        TouchOSCFileDecoder decoder(paths[i]);
        EXPECT_TRUE(decoder.decodeRoutes().empty()) << cases[i].name;
        EXPECT_TRUE(log.contains(cases[i].logged) && log.contains(paths[i])) << cases[i].name;
    }

    // Nesting just at the cap is still a layout.
    std::string atCap, atCapEnd;
    for (size_t i = 0; i < TouchOSCFileDecoder::kMaximumNesting - 3; ++i) atCap += "<g>", atCapEnd += "</g>";
    const auto within =
        zip({{"within.touchosc", {{"index.xml", layout("8", page("1", control("a", "/a") + atCap + atCapEnd))}}}});
    TouchOSCFileDecoder decoder(within[0]);
    EXPECT_EQ(addresses(decoder.decodeRoutes()), (std::vector<std::string>{"/a"}));
}

TEST_F(TouchLayoutTest, AControlWithAnOverlongAddressIsLeftOutAndCounted) {
    const std::string longest = "/" + std::string(TouchOSCFileDecoder::kMaximumAddressLength - 1, 'x');
    const auto paths =
        zip({{"long.touchosc",
              {{"index.xml",
                layout("8", page("1", control("a", "/a") + control("b", longest + "y") + control("c", longest)))}}}});
    foundation::LogCapture log;
    TouchOSCFileDecoder decoder(paths[0]);
    EXPECT_EQ(addresses(decoder.decodeRoutes()), (std::vector<std::string>{"/a", longest}));
    EXPECT_EQ(decoder.overlongAddresses(), 1u);
    EXPECT_TRUE(log.contains("1 controls with an address longer than"));
}

TEST_F(TouchLayoutTest, WhatTheParserHoldsCountsAgainstTheCap) {
    // A single attribute of more than half the cap unpacks within it, but the parser holds the
    // whole of it in a buffer that grows by doubling: that passes the cap.
    const size_t size = TouchOSCFileDecoder::kMaximumLayoutSize / 16 * 9;
    const std::string head = "<?xml version=\"1.0\"?><layout version=\"8\"><tabpage name=\"1\"><control name=\"";
    const std::string tail = "\" osc_cs=\"/a\"></control></tabpage></layout>";
    const auto made = testsupport::runPython(
        R"(
import sys, zipfile
path, head, tail, size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as archive:
    with archive.open('index.xml', 'w') as entry:
        entry.write(head.encode())
        block = b'n' * (1 << 20)
        while size > 0:
            entry.write(block[:min(size, len(block))])
            size -= min(size, len(block))
        entry.write(tail.encode())
)",
        "'" + dir.file("wide.touchosc") + "' '" + head + "' '" + tail + "' " + std::to_string(size));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    foundation::LogCapture log;
    TouchOSCFileDecoder decoder(dir.file("wide.touchosc"));
    EXPECT_TRUE(decoder.decodeRoutes().empty());
    EXPECT_TRUE(log.contains("bytes to read; nothing was imported"));
}
