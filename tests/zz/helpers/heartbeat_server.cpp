// Serves a heartbeat under the name given as the first argument until killed.
#include "zz/ZZHeartbeat.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    auto server = ZZHeartbeatServer::newHeartbeatServerWithName(argv[1]);
    if (!server) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    foundation::RunLoop::main().run();
    return 0;
}
