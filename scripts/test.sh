#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three
# times: plain, under AddressSanitizer+UBSan and under ThreadSanitizer (the
# soak and churn tests in their short forms); then the in-process test
# programs under valgrind memcheck, and the request exchange's fuzz target
# for a while (QENO_FUZZ_SECONDS, default 30). Any failure or sanitizer
# report fails the run.
# The install stage installs the plain build into a temporary prefix and
# builds and runs examples/hello-module against it, then packages it.
#   bash scripts/test.sh [STAGE...]   stages: format plain install asan tsan memcheck fuzz (default all)
# Long forms: scripts/soak.sh, scripts/fuzz.sh SECONDS.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(format plain install asan tsan memcheck fuzz)
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
    install)
      echo "== install: build (plain)"
      bash scripts/build.sh plain
      echo "== install: install, build the example against it, package"
      bash scripts/install-check.sh "${prefix}plain"
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
    *)
      echo "test.sh: unknown stage '$stage' (format, plain, install, asan, tsan, memcheck or fuzz)" >&2
      exit 2
      ;;
  esac
done
echo "== all test runs passed: ${stages[*]}"
