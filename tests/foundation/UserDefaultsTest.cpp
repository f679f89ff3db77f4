#include "foundation/Log.h"
#include "foundation/Resources.h"
#include "foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <iostream>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

using namespace foundation;

TEST(UserDefaults, DomainsAreSearchedArgumentsFirst) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("d.plist"));
    d.registerDefaults({{"headless", "registered"}, {"port", 8000}, {"only", true}});
    d.setObject(Value("persistent"), "headless");
    EXPECT_EQ(d.stringForKey("headless"), "persistent");
    const char* argv[] = {"quorbital", "-headless", "/path/doc.qrb3", "-port", "9001", "stray"};
    d.setArguments(6, argv);
    EXPECT_EQ(d.stringForKey("headless"), "/path/doc.qrb3");
    EXPECT_EQ(d.integerForKey("port"), 9001) << "command-line text reads as a number";
    EXPECT_TRUE(d.boolForKey("only"));
    EXPECT_TRUE(d.objectForKey("stray").isNull()) << "a trailing word without a value is no setting";
    d.removeObjectForKey("headless");
    d.setArguments(std::vector<std::string>{});
    EXPECT_EQ(d.stringForKey("headless"), "registered");
}

TEST(UserDefaults, TypedGetters) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("d.plist"));
    d.setUnsignedLongLong(std::numeric_limits<uint64_t>::max(), "u64");
    d.setDouble(2.75, "real");
    d.setString("YES", "yes");
    d.setString("12abc", "text");
    d.setObject(Value(Data{1, 2}), "data");
    EXPECT_EQ(d.unsignedLongLongForKey("u64"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(d.integerForKey("real"), 2);
    EXPECT_FLOAT_EQ(d.floatForKey("real"), 2.75f);
    EXPECT_TRUE(d.boolForKey("yes"));
    EXPECT_EQ(d.integerForKey("text"), 12);
    EXPECT_EQ(d.dataForKey("data"), (Data{1, 2}));
    EXPECT_FALSE(d.dataForKey("text").has_value());
    EXPECT_EQ(d.integerForKey("missing"), 0);
    EXPECT_FALSE(d.stringForKey("missing").has_value());
}

TEST(UserDefaults, PersistentDomainSurvivesAndDamagedFileIsKept) {
    testsupport::TempDir dir;
    std::string path = dir.file("sub/d.plist");
    {
        UserDefaults d(path);
        d.setInteger(42, "answer");
        d.setUnsignedLongLong(std::numeric_limits<uint64_t>::max() - 5, "big");
        EXPECT_TRUE(d.synchronize());
    }
    {
        UserDefaults d(path);
        EXPECT_EQ(d.integerForKey("answer"), 42);
        EXPECT_EQ(d.unsignedLongLongForKey("big"), std::numeric_limits<uint64_t>::max() - 5);
        EXPECT_EQ(d.persistentKeys(), (std::vector<std::string>{"answer", "big"}));
    }
    { std::ofstream(path) << "this is not a property list"; }
    LogCapture log;
    UserDefaults d(path);
    EXPECT_EQ(d.integerForKey("answer"), 0);
    EXPECT_TRUE(log.contains("are damaged"));
    std::ifstream kept(path + ".damaged");
    EXPECT_TRUE(kept.good()) << "the damaged file is set aside, not lost";
}

namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// While it lives, this thread checks file permissions as a user's thread does, also when the
// tests run as root: the capabilities that override them leave its effective set.
class FilePermissionsHold {
public:
    FilePermissionsHold() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[capability / 32].effective &= ~(1u << (capability % 32));
        changed_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~FilePermissionsHold() {
        if (changed_) ::syscall(SYS_capset, &header_, saved_);
    }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool changed_ = false;
};

// Whether this thread, as it is now, is refused a file without permissions: root keeps reading
// it where its capabilities cannot be dropped.
bool permissionsAreChecked(const testsupport::TempDir& dir) {
    const std::string probe = dir.file("probe");
    std::ofstream(probe) << "x";
    ::chmod(probe.c_str(), 0);
    const bool refused = std::ifstream(probe).fail();
    std::filesystem::remove(probe);
    return refused;
}

}  // namespace

// What is found at the settings path decides what is read, what is moved aside and what is
// never written over; each case says in the log what happened.
TEST(UserDefaults, WhatIsFoundAtThePathIsReadMovedAsideOrLeftAsItIs) {
    struct Case {
        const char* name;
        bool needsPermissions;
        std::string written;  // what the file holds, when it is a file
        // What else is done to the folder or the path.
        std::function<void(const std::string& folder, const std::string& path)> stage;
        const char* logged;
        bool movedAside;
    };
    const std::string valid = [] {
        testsupport::TempDir scratch;
        UserDefaults d(scratch.file("v.plist"));
        d.setInteger(42, "answer");
        d.synchronize();
        return contents(scratch.file("v.plist"));
    }();
    const std::string damaged = "not a property list";
    const std::vector<Case> cases = {
        {"unreadable", true, valid, [](const std::string&, const std::string& path) { ::chmod(path.c_str(), 0); },
         "could not be opened (Permission denied); the registered values are used, and the file is left as it is.",
         false},
        {"damaged in a read-only folder", true, damaged,
         [](const std::string& folder, const std::string&) { ::chmod(folder.c_str(), 0555); },
         "could not be moved aside to", false},
        {"a FIFO", false, "", [](const std::string&, const std::string& path) { ::mkfifo(path.c_str(), 0600); },
         "are not in a regular file (a FIFO); the registered values are used", false},
        {"a folder", false, "",
         [](const std::string&, const std::string& path) { std::filesystem::create_directory(path); },
         "are not in a regular file (a folder)", false},
        {"damaged", false, damaged, {}, "are damaged (", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const std::string folder = dir.file("quorbital");
        const std::string path = folder + "/Quorbital.plist";
        std::filesystem::create_directory(folder);
        FilePermissionsHold permissions;
        if (c.needsPermissions && !permissionsAreChecked(dir)) {
            std::cout << "[  SKIPPED ] " << c.name
                      << ": this user reads and writes every file whatever its permissions\n";
            continue;
        }
        const bool regular = !c.written.empty();
        if (regular) std::ofstream(path, std::ios::binary) << c.written;
        if (c.stage) c.stage(folder, path);

        LogCapture log;
        {
            UserDefaults d(path);
            EXPECT_TRUE(d.objectForKey("answer").isNull()) << "nothing of what was found is used";
            d.setInteger(7, "answer");
            EXPECT_EQ(d.synchronize(), c.movedAside) << "what is left as it is, is never written over";
        }
        ::chmod(folder.c_str(), 0755);
        ::chmod(path.c_str(), 0644);
        EXPECT_TRUE(log.contains(c.logged)) << testing::PrintToString(log.lines());
        if (c.movedAside) {
            EXPECT_EQ(contents(path + ".damaged"), c.written);
            EXPECT_EQ(UserDefaults(path).integerForKey("answer"), 7);
        } else {
            EXPECT_FALSE(log.contains("; moved aside to")) << "no move is claimed that did not happen";
            EXPECT_FALSE(std::filesystem::exists(path + ".damaged"));
            if (regular) {
                EXPECT_EQ(contents(path), c.written) << "the file is as it was found";
            }
            EXPECT_EQ(std::filesystem::is_fifo(path), std::string(c.name) == "a FIFO");
        }
    }
}

TEST(UserDefaults, EachDamagedFileKeepsABackupOfItsOwn) {
    testsupport::TempDir dir;
    const std::string path = dir.file("Quorbital.plist");
    const std::vector<std::string> damaged = {"first damage", "second damage", "third damage"};
    for (const std::string& text : damaged) {
        std::ofstream(path) << text;
        LogCapture log;
        UserDefaults d(path);
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_TRUE(log.contains("; moved aside to")) << testing::PrintToString(log.lines());
    }
    EXPECT_EQ(contents(path + ".damaged"), damaged[0]);
    EXPECT_EQ(contents(path + ".damaged-2"), damaged[1]);
    EXPECT_EQ(contents(path + ".damaged-3"), damaged[2]);
}

TEST(Versions, CompareLikeReleaseNumbers) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"20261210", "20090904", 1}, {"20090904", "20090904", 0}, {"20090105", "20090904", -1},
        {"1.0", "1.0.1", -1},        {"1.10", "1.9", 1},          {"1.0b1", "1.0", -1},
        {"1.0", "1.0b1", 1},         {"1.0a", "1.0b", -1},        {"2", "10", -1},
        {"1.0.0", "1.0", 1},
    };
    for (const auto& c : cases) {
        int r = compareVersions(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
}

TEST(Resources, FindsTheShippedInitialValues) {
    auto path = Resources::pathForResource("UserDefaults", "plist");
    ASSERT_TRUE(path.has_value());
    EXPECT_FALSE(Resources::pathForResource("NoSuchThing", "plist").has_value());
    EXPECT_FALSE(Resources::runningVersion().empty());
}
