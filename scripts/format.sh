#!/usr/bin/env bash
# Formats the C++ sources with clang-format and the tree's .clang-format.
#   scripts/format.sh           rewrites every file that is not in the style
#   scripts/format.sh --check   changes nothing; lists the files that are not, and fails if any
#   scripts/format.sh [--check] FILE...   only those files
set -euo pipefail
cd "$(dirname "$0")/.."

CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
check=false
if [ "${1:-}" = "--check" ]; then check=true; shift; fi

if [ $# -eq 0 ]; then
  # The tracked sources only, so that build trees and generated files are left alone.
  mapfile -t files < <(git ls-files -- src tests bench fuzz examples daemons drivers |
                       grep -E '\.(c|cc|cpp|h|hpp)$')
else
  files=("$@")
fi
[ ${#files[@]} -gt 0 ] || exit 0
command -v "$CLANG_FORMAT" >/dev/null || { echo "$CLANG_FORMAT not found (scripts/install-deps.sh installs it)" >&2; exit 2; }

if $check; then
  unformatted=()
  for f in "${files[@]}"; do
    if ! "$CLANG_FORMAT" --style=file --dry-run --Werror "$f" >/dev/null 2>&1; then unformatted+=("$f"); fi
  done
  if [ ${#unformatted[@]} -gt 0 ]; then
    printf '%s\n' "${unformatted[@]}"
    echo "${#unformatted[@]} file(s) not formatted; run scripts/format.sh" >&2
    exit 1
  fi
else
  printf '%s\0' "${files[@]}" | xargs -0 -n 20 "$CLANG_FORMAT" --style=file -i
fi
