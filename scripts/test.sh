#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three
# times: plain, under AddressSanitizer+UBSan and under ThreadSanitizer (the
# soak and churn tests in their short forms); then the in-process test
# programs under valgrind memcheck, and the request exchange's fuzz target
# for a while (QENO_FUZZ_SECONDS, default 30); last the editor page in a
# headless Chromium. Any failure or sanitizer report fails the run.
#   bash scripts/test.sh [STAGE...]   stages: format plain asan tsan memcheck fuzz browser (default all)
# Long forms: scripts/soak.sh, scripts/fuzz.sh SECONDS.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(format plain asan tsan memcheck fuzz browser)
prefix="${QENO_BUILD_PREFIX:-build/}"

source scripts/sanitizer-options.sh

for stage in "${stages[@]}"; do
  case "$stage" in
    format)
      echo "== format: clang-format check"
      # shellcheck disable=SC2046
      clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null || find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print)
      ;;
    plain | asan | tsan)
      echo "== $stage: build"
      bash scripts/build.sh "$stage"
      echo "== $stage: test"
      ctest --test-dir "$prefix$stage" --output-on-failure -j 2
      ;;
    memcheck)
      echo "== memcheck: build (plain)"
      bash scripts/build.sh plain
      echo "== memcheck: test"
      bash scripts/memcheck.sh "${prefix}plain"
      ;;
    fuzz)
      echo "== fuzz: build and run"
      bash scripts/fuzz.sh "${QENO_FUZZ_SECONDS:-30}"
      ;;
    browser)
      echo "== browser: build (plain) and drive the editor page in chromium"
      bash scripts/install-browser-deps.sh
      bash scripts/build.sh plain
      # Screenshots land in the build folder for a person to look at.
      QENO_HOST="$PWD/${prefix}plain/qeno-host" QENO_SCREENSHOTS="$PWD/${prefix}plain/screenshots" \
        node --test tests/browser/
      echo "screenshots: ${prefix}plain/screenshots/"
      ;;
    *)
      echo "test.sh: unknown stage '$stage' (format, plain, asan, tsan, memcheck, fuzz or browser)" >&2
      exit 2
      ;;
  esac
done
echo "== all test runs passed: ${stages[*]}"
