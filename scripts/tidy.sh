#!/usr/bin/env bash
# Runs clang-tidy with .clang-tidy over the product sources (host, editor,
# the module's folders and the application), with the compile commands of
# the plain build; any finding fails the run.
#   bash scripts/tidy.sh
set -euo pipefail
cd "$(dirname "$0")/.."

dir="${QENO_BUILD_PREFIX:-build/}plain"
# Quiet when it builds; a failed build shows its errors, not a silent exit.
if ! log=$(bash scripts/build.sh plain 2>&1); then
  printf '%s\n' "$log" | tail -n 40
  echo "tidy: the plain build failed" >&2
  exit 1
fi
# The compile commands are GCC's; clang does not know every GCC warning flag.
# Headers are checked through the sources that include them (HeaderFilterRegex).
git ls-files 'host/*.cpp' 'editor/*.cpp' 'module/*.cpp' 'server/*.cpp' 'face/*.cpp' \
  'config/*.cpp' 'app/*.cpp' 'basics/*.cpp' |
  xargs -P "$(nproc)" -n 1 clang-tidy --quiet -p "$dir" --warnings-as-errors='*' \
    --extra-arg=-Wno-unknown-warning-option
echo "tidy: clean"
