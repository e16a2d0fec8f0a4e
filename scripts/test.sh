#!/usr/bin/env bash
# Installs what is missing, checks the layout (clang-format) and the product
# sources (clang-tidy, and clang's lock analysis), then builds and runs the whole test suite three
# times: plain, under AddressSanitizer+UBSan and under ThreadSanitizer. The
# soak and churn tests (label "stress", in their short forms) run in the
# plain and TSan builds only. The load stage runs the tests that start real
# hosts and servers (label "load": web, guard, editor, app) twice more with
# four at a time beside two busy loops, as on a shared machine. Then the in-process test programs under
# valgrind memcheck, the request exchange's fuzz target for a while
# (QENO_FUZZ_SECONDS, default 30), the optimised Release build, warnings
# as errors, with its quick tests, and last the editor page in a headless
# Chromium. Any failure or sanitizer report fails the run. The install
# stage installs the plain build into a temporary prefix and builds and
# runs examples/hello-module against it, then packages it.
#   bash scripts/test.sh [STAGE...]
#   stages: format tidy plain load install asan tsan memcheck fuzz release browser (default all)
# Long forms: scripts/soak.sh, scripts/fuzz.sh SECONDS.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(format tidy plain load install asan tsan memcheck fuzz release browser)
prefix="${QENO_BUILD_PREFIX:-build/}"

source scripts/sanitizer-options.sh

for stage in "${stages[@]}"; do
  case "$stage" in
    format)
      echo "== format: clang-format check"
      # shellcheck disable=SC2046
      clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null || find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print)
      ;;
    tidy)
      echo "== tidy: clang-tidy over the product sources"
      bash scripts/tidy.sh
      echo "== tidy: clang's lock analysis over the product sources"
      bash scripts/lock-check.sh
      ;;
    plain | asan | tsan)
      echo "== $stage: build"
      bash scripts/build.sh "$stage"
      echo "== $stage: test"
      # The stress tests run where they find most: plain and TSan.
      skip=()
      [ "$stage" != asan ] || skip=(-LE stress)
      ctest --test-dir "$prefix$stage" --output-on-failure -j 2 "${skip[@]}"
      ;;
    load)
      echo "== load: build (plain)"
      bash scripts/build.sh plain
      echo "== load: the load-labelled tests twice, four at a time, beside two busy loops"
      busy=()
      # The loops end with the stage, however it ends.
      trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
      for _ in 1 2; do
        (while :; do :; done) &
        busy+=($!)
      done
      status=0
      for round in 1 2; do
        ctest --test-dir "${prefix}plain" --output-on-failure -j 4 -L load || status=$?
        [ "$status" -eq 0 ] || { echo "load: round $round failed"; break; }
      done
      kill "${busy[@]}"
      wait "${busy[@]}" 2>/dev/null || true
      [ "$status" -eq 0 ] || exit "$status"
      ;;
    release)
      echo "== release: build"
      bash scripts/build.sh release
      echo "== release: quick tests"
      ctest --test-dir "${prefix}release" --output-on-failure -j 2 -LE stress
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
      echo "test.sh: unknown stage '$stage' (format, tidy, plain, load, install, asan, tsan, memcheck, fuzz, release or browser)" >&2
      exit 2
      ;;
  esac
done
echo "== all test runs passed: ${stages[*]}"
