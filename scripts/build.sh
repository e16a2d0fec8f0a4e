#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>, warnings as errors:
#   plain (default), asan (AddressSanitizer + UBSan), tsan (ThreadSanitizer),
#   or release (optimised as a packager builds it, for benchmarks).
# QENO_BUILD_PREFIX replaces "build/" (build/mine- builds into build/mine-plain),
# for a second tree of builds beside the usual one.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-plain}"
type=RelWithDebInfo
case "$flavour" in
  plain) sanitize="" ;;
  asan) sanitize="address" ;;
  tsan) sanitize="thread" ;;
  release) sanitize="" type=Release ;;
  *) echo "build.sh: unknown flavour '$flavour' (plain, asan, tsan or release)" >&2; exit 2 ;;
esac

jobs="$(nproc)"
dir="${QENO_BUILD_PREFIX:-build/}$flavour"
# Tests and benchmarks on whatever a cache says: a tree without tests would
# pass with none run.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DQENO_SANITIZE="$sanitize" \
  -DQENO_WERROR=ON -DQENO_BUILD_TESTS=ON -DQENO_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "$jobs"
