// An OSC packet from the network: it passes our check or is refused; what passes is parsed and
// dispatched by liblo and turned into a message as the routing callbacks do.
#include "core/osc/QRBOSCMessage.h"
#include "core/osc/QRBOSCPacket.h"
#include "document/EngineClasses.h"

#include <lo/lo.h>

#include <cstdint>

namespace {

int catchAll(const char* path, const char*, lo_arg**, int, lo_message message, void*) {
    auto m = QRBOSCMessage::OSCMessageWithPath(path, message);
    m->presentation();
    return 0;
}

void ignoreErrors(int, const char*, const char*) {}

lo_server server() {
    static lo_server s = [] {
        lo_server srv = lo_server_new_with_proto(nullptr, LO_UDP, ignoreErrors);
        lo_server_enable_coercion(srv, 0);
        lo_server_add_method(srv, nullptr, nullptr, catchAll, nullptr);
        return srv;
    }();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registerEngineClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kQRBMaxOSCPacketSize) return 0;
    if (QRBCheckOSCPacket(data, size)) return 0;
    lo_server_dispatch_data(server(), const_cast<uint8_t*>(data), size);
    return 0;
}
