#!/usr/bin/env bash
# Builds the product (no tests) with clang and -Wthread-safety, warnings as
# errors, into build/locks: a field marked QENO_GUARDED_BY that is used
# without its lock fails the build.
#   bash scripts/lock-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."

dir="${QENO_BUILD_PREFIX:-build/}locks"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQENO_WERROR=ON -DQENO_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target qeno-host qenoserver
echo "lock-check: clean"
