#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>:
#   plain (default), asan (AddressSanitizer + UBSan) or tsan (ThreadSanitizer).
# QENO_BUILD_PREFIX replaces "build/" (build/mine- builds into build/mine-plain),
# for a second tree of builds beside the usual one.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-plain}"
case "$flavour" in
  plain) sanitize="" ;;
  asan) sanitize="address" ;;
  tsan) sanitize="thread" ;;
  *) echo "build.sh: unknown flavour '$flavour' (plain, asan or tsan)" >&2; exit 2 ;;
esac

jobs="$(nproc)"
dir="${QENO_BUILD_PREFIX:-build/}$flavour"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQENO_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$jobs"
