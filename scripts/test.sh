#!/usr/bin/env bash
# Installs what is missing, builds the sanitizer build and runs the whole test suite; then runs the
# tests of the OSC servers and the routing manager again under ThreadSanitizer, since their
# listeners hand input from their own threads to the main one.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev
cmake --build --preset dev -j "$(nproc)"
ctest --preset dev -j "$(nproc)"

cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)" --target core_tests
ctest --preset tsan -j "$(nproc)" \
  -R 'core\.([A-Za-z]+/)?(ServerTest|TCPStreamTest|QRBServerErrorHandlerTest|ManagerTest|InputDispatchTest|InputOverTransportTest|BackmappingTest|PortInUseTest)\.'
