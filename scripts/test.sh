#!/usr/bin/env bash
# Installs what is missing, builds the sanitizer build and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev
cmake --build --preset dev -j "$(nproc)"
ctest --preset dev -j "$(nproc)"
