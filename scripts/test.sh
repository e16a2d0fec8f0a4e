#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three
# times: plain, under AddressSanitizer+UBSan and under ThreadSanitizer. Any
# failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(plain asan tsan)

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:exitcode=66"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=67"
export TSAN_OPTIONS="halt_on_error=1:exitcode=68:second_deadlock_stack=1"

for flavour in "${flavours[@]}"; do
  echo "== $flavour: build"
  bash scripts/build.sh "$flavour"
  echo "== $flavour: test"
  ctest --test-dir "build/$flavour" --output-on-failure -j 2
done
echo "== all test runs passed: ${flavours[*]}"
