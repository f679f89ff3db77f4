#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 and runs each on its seed corpus for a fixed number
# of runs (default 20000), so that an input that once crashed a target keeps being tried.
# fuzz_dispatch sends every input through sockets to a running document and waits for its main
# loop, so it gets half as many runs (10000 take about 20 s).
# fuzz_archive also starts from the example documents, whole, so that the manager, preset and
# context decoders are reached from the first run; its inputs may be as large as a document.
# fuzz_touchlayout packs an input that is not an archive into one as the layout's XML.
# Every target runs under a memory limit, so that an input that makes a reader allocate without
# bound (a reference bomb) is reported instead of exhausting the machine.
#   bash scripts/fuzz.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-20000}"

cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
for corpus in fuzz/corpus/*/; do
  name="$(basename "$corpus")"
  target="build/fuzz/fuzz/fuzz_${name}"
  [ -x "$target" ] || continue
  mkdir -p "$work/$name"
  cp "$corpus"* "$work/$name/"
  target_runs="$runs"
  max_len=4096
  [ "$name" = dispatch ] && target_runs=$(( runs / 2 ))
  if [ "$name" = archive ]; then
    cp examples/*.qrb3 "$work/$name/"
    max_len=65536
  fi
  echo "fuzz_${name}: ${target_runs} runs"
  if ! "$target" -runs="$target_runs" -max_len="$max_len" -rss_limit_mb=2048 -malloc_limit_mb=512 -artifact_prefix="$work/" "$work/$name" >"$work/$name.log" 2>&1; then
    tail -n 40 "$work/$name.log"
    echo "fuzz_${name} failed; the input is kept under fuzz/crashes/"
    mkdir -p fuzz/crashes
    cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* fuzz/crashes/ 2>/dev/null || true
    status=1
  fi
done
exit $status
