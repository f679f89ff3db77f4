#include "support/TestSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

long freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof address;
        bool bound = bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        int tcp = socket(AF_INET, SOCK_STREAM, 0);
        bool free = bound && bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(tcp);
        close(udp);
        if (free) return ntohs(address.sin_port);
    }
    return 0;
}

sockaddr_in loopbackAddress(long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
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
