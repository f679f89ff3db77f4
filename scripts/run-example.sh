#!/usr/bin/env bash
# Installs what is missing, builds the quorbital program and runs the example document without any
# interface: OSC arriving on UDP port 8000 at /fader (a number from 0 to 1) is scaled to 0..100 and
# sent to 127.0.0.1:9000 as /mixer/volume. Ctrl-C ends it.
#
# Another document: bash scripts/run-example.sh path/to/document.qrb3
set -euo pipefail
cd "$(dirname "$0")/.."

document="${1:-examples/fader.qrb3}"

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target quorbital

echo "Routing $document. Try, in two other terminals:"
echo "    oscdump 9000"
echo "    oscsend localhost 8000 /fader f 0.5"
exec build/release/src/app/quorbital -headless "$document"
