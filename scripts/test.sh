#!/usr/bin/env bash
# Installs what is missing, runs the fuzz targets on their corpora, builds the sanitizer build and
# runs the whole test suite; then runs the
# tests of the OSC servers, targets and the routing manager again under ThreadSanitizer, since
# host names are looked up on other threads and handed back to the main one.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# The fuzz targets first, on their seed corpora, so that the test suites' summaries close the run.
bash scripts/fuzz.sh 20000
cmake --preset dev
cmake --build --preset dev -j "$(nproc)"
ctest --preset dev -j "$(nproc)"

cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)" --target core_osc_tests core_mapping_tests core_outputs_tests core_monitor_tests core_document_tests
ctest --preset tsan -j "$(nproc)" \
  -R 'core\.[a-z]+\.([A-Za-z]+/)?(ServerTest|TCPStreamTest|QRBServerErrorHandlerTest|ManagerTest|InputDispatchTest|InputOverTransportTest|BackmappingTest|PortInUseTest|RoutingFaults|HostNameFaults|StopListeningFaults)\.'
