#pragma once
// Helpers shared by the test programs.

#include <netinet/in.h>

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the system's temporary folder, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};

// Runs a shell command and collects what it prints.
CommandResult runCommand(const std::string& command);

// Runs a python3 script given as text, with the arguments after it.
CommandResult runPython(const std::string& script, const std::string& arguments = "");

// Whether two property-list files (keyed archives included) hold the same values. Writers may
// lay out equal values differently, so files are compared by what they hold, not byte by byte.
// The output tells the first difference.
CommandResult comparePropertyListFiles(const std::string& a, const std::string& b);

// A port that is free for both UDP and TCP on every address right now and that no other caller
// of this, in this process or another, gets while this process lives; 0 when none was found.
long freePort();

// Whether this machine has the IPv6 loopback (::1) to test with.
bool hasIPv6Loopback();

// The IPv4 loopback address with `port` (0: any port).
sockaddr_in loopbackAddress(long port);

// The big-endian float in the four bytes before `end`: the last argument of an OSC message.
float floatBefore(const void* end);

// How many times a log reported a line containing `fragment`: each such line written whole, plus
// the count of every summary ("… 1,234 more in the last second, the last: <line>") of lines
// that contain it.
size_t reportedLines(const std::vector<std::string>& lines, const std::string& fragment);

}  // namespace testsupport
