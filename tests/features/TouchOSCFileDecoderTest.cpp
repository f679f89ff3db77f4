// Touch-layout import: layout archives made here with python's zipfile, read into routes. Base64
// names and addresses of newer layouts, plain ones of older, page-numbered default addresses,
// one route per address, controls outside a numbered page, archives that are not zips or hold
// more than one document, values that do not decode, and the cap on what an archive unpacks to.

#include "features/TouchOSCFileDecoder.h"
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
