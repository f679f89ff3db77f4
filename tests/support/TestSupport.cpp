#include "support/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quorbital-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    std::string full = command + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe) return result;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) result.output.append(buf, n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

CommandResult runPython(const std::string& script, const std::string& arguments) {
    TempDir dir;
    std::string path = dir.file("script.py");
    {
        std::ofstream out(path);
        out << script;
    }
    return runCommand("python3 '" + path + "' " + arguments);
}

CommandResult comparePropertyListFiles(const std::string& a, const std::string& b) {
    return runPython(R"(
import plistlib, sys
a = plistlib.load(open(sys.argv[1], 'rb'))
b = plistlib.load(open(sys.argv[2], 'rb'))
if a == b:
    sys.exit(0)
for key in sorted(set(a) | set(b)):
    if key == '$objects' and key in a and key in b:
        for i, (x, y) in enumerate(zip(a[key], b[key])):
            if x != y:
                print('object', i, ':', x, '!=', y)
                break
        else:
            print('objects:', len(a[key]), '!=', len(b[key]))
    elif a.get(key) != b.get(key):
        print(key, ':', a.get(key), '!=', b.get(key))
sys.exit(1)
)",
                     "'" + a + "' '" + b + "'");
}

namespace {

// Whether `port` (0: any) can be bound for both UDP and TCP on every address; the port bound.
long bindablePort(long port) {
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    bool bound = bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool free = bound && bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    // The servers listen on IPv6 too, where the machine has it.
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        if (!free) break;
        int v6 = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
        if (v6 < 0) break;
        const int one = 1;
        setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        any.sin6_port = address.sin_port;
        if (bind(v6, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 && errno == EADDRINUSE) free = false;
        close(v6);
    }
    close(tcp);
    close(udp);
    return free ? ntohs(address.sin_port) : 0;
}

// The first port of the kernel's ephemeral range.
long firstEphemeralPort() {
    long low = 0, high = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    return low > 0 ? low : 32768;
}

}  // namespace

long freePort() {
    // A port the kernel chose and the test let go of may be handed by the kernel to the next
    // socket anywhere on the machine that sends before it binds (a target's socket in another
    // test process), and the program under test then finds its port taken. Ports below the
    // ephemeral range are never handed out that way; a lock file for each port keeps the test
    // processes running side by side from choosing the same one. The lock lasts as long as the
    // process.
    const long last = firstEphemeralPort() - 1;
    const long first = std::max(1024L, last - 16383);
    const std::filesystem::path locks = std::filesystem::temp_directory_path() / "quorbital-test-ports";
    std::error_code ec;
    std::filesystem::create_directories(locks, ec);
    std::filesystem::permissions(locks, std::filesystem::perms::all | std::filesystem::perms::sticky_bit, ec);
    static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    static std::vector<int> claims;
    for (int attempt = 0; last > first && attempt < 500; ++attempt) {
        const long port = std::uniform_int_distribution<long>(first, last)(random);
        const std::string lock = (locks / std::to_string(port)).string();
        const int fd = open(lock.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (fd < 0) break;  // no lock files here: the kernel chooses instead
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && bindablePort(port) == port) {
            claims.push_back(fd);
            return port;
        }
        close(fd);
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (long port = bindablePort(0)) return port;
    }
    return 0;
}

bool hasIPv6Loopback() {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

sockaddr_in loopbackAddress(long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

size_t reportedLines(const std::vector<std::string>& lines, const std::string& fragment) {
    static const std::string summaryStart = "… ";
    static const std::string summaryMiddle = " more in the last ";
    size_t count = 0;
    for (const std::string& line : lines) {
        if (line.find(fragment) == std::string::npos) continue;
        const size_t middle = line.find(summaryMiddle);
        if (line.rfind(summaryStart, 0) != 0 || middle == std::string::npos) {
            ++count;
            continue;
        }
        size_t counted = 0;
        for (size_t i = summaryStart.size(); i < middle; ++i)
            if (line[i] >= '0' && line[i] <= '9') counted = counted * 10 + size_t(line[i] - '0');
        count += counted;
    }
    return count;
}

float floatBefore(const void* end) {
    uint32_t bits;
    std::memcpy(&bits, static_cast<const char*>(end) - 4, 4);
    bits = ntohl(bits);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

}  // namespace testsupport
