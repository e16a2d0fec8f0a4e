#!/usr/bin/env bash
# Runs the test programs that test in their own process under valgrind
# memcheck: any memory error or definite leak fails the run.
#   bash scripts/memcheck.sh [BUILD_DIR]    (default build/plain, built already)
# Left out: app_unittest and soak_unittest, whose subject is a separate
# qeno-host process that memcheck of the test program would not see, and the
# churn test, a stress test that the plain and TSan builds run.
# Timing bounds in the tests stretch under valgrind (QENO_TEST_TIME_SCALE).
set -euo pipefail
cd "$(dirname "$0")/.."

dir="${1:-${QENO_BUILD_PREFIX:-build/}plain}"
programs=(module_unittest server_unittest face_unittest keys_unittest config_unittest
          host_unittest exchange_unittest editor_unittest)
export QENO_TEST_TIME_SCALE="${QENO_TEST_TIME_SCALE:-20}"
failed=()
for program in "${programs[@]}"; do
  log="$dir/memcheck-$program.log"
  start=$SECONDS
  if valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
      --show-leak-kinds=definite --track-origins=yes --suppressions=tests/valgrind.supp \
      "$dir/$program" >"$log" 2>&1; then
    echo "memcheck: $program clean ($((SECONDS - start)) s)"
  else
    tail -n 80 "$log"
    echo "memcheck: $program FAILED ($((SECONDS - start)) s; log: $log)"
    failed+=("$program")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "memcheck: failed: ${failed[*]}" >&2
  exit 1
fi
