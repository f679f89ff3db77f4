#pragma once
// A liblo server on an ephemeral loopback port standing for the device a target names, and the
// messages it received as text, for tests that follow a message out of a running document.

#include "foundation/Format.h"

#include <lo/lo.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace managertest {

// One message as a target received it: its path, type tags and values as text.
struct Received {
    std::string path;
    std::string types;
    std::vector<std::string> values;
    bool operator==(const Received&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Received& r) {
    os << r.path << " ," << r.types;
    for (const auto& v : r.values) os << " " << v;
    return os;
}

// A liblo server on an ephemeral loopback port, standing for the device a target names.
class TargetServer {
public:
    explicit TargetServer(int protocol) {
        server_ = lo_server_new_with_proto(nullptr, protocol, [](int, const char*, const char*) {});
        if (server_) lo_server_add_method(server_, nullptr, nullptr, &TargetServer::handle, this);
    }
    ~TargetServer() {
        if (server_) lo_server_free(server_);
    }
    TargetServer(const TargetServer&) = delete;
    TargetServer& operator=(const TargetServer&) = delete;

    bool isValid() const { return server_ != nullptr; }
    lo_server server() const { return server_; }
    int port() const { return lo_server_get_port(server_); }
    // Takes in what has arrived, without waiting.
    void poll() {
        for (int i = 0; i < 100 && lo_server_recv_noblock(server_, 0) > 0; ++i) {}
    }

    std::vector<Received> messages;

private:
    static int handle(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* user) {
        Received r{path, types, {}};
        for (int i = 0; i < argc; ++i) {
            // liblo's arguments are not aligned for their types: read them byte-wise.
            const void* bytes = argv[i];
            auto read = [bytes](auto value) {
                std::memcpy(&value, bytes, sizeof value);
                return value;
            };
            switch (types[i]) {
            case 'f': r.values.push_back(foundation::format("%g", read(float()))); break;
            case 'd': r.values.push_back(foundation::format("%g", read(double()))); break;
            case 'i': r.values.push_back(std::to_string(read(int32_t()))); break;
            case 'h': r.values.push_back(std::to_string(read(int64_t()))); break;
            case 's': r.values.push_back(static_cast<const char*>(bytes)); break;
            default: r.values.push_back("?"); break;
            }
        }
        static_cast<TargetServer*>(user)->messages.push_back(std::move(r));
        return 0;
    }

    lo_server server_ = nullptr;
};

}  // namespace managertest
