#!/usr/bin/env bash
# Installs what is missing, runs the fuzz targets on their corpora, builds the sanitizer build and
# runs the whole test suite; then runs every test labelled `threads` again under ThreadSanitizer
# (tests/CMakeLists.txt says which tests carry the label).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# The fuzz targets first, on their seed corpora, so that the test suites' summaries close the run.
bash scripts/fuzz.sh 20000
cmake --preset dev
cmake --build --preset dev -j "$(nproc)"
ctest --preset dev -j "$(nproc)"

cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)" --target threads_tests
ctest --preset tsan -j "$(nproc)" -L threads
