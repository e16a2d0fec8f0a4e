#!/usr/bin/env bash
# Builds the libFuzzer target of the request exchange (clang, ASan + UBSan)
# into build/fuzz and runs it for SECONDS (default 600), starting from the
# seed corpus in tests/fuzz/corpus:
#   bash scripts/fuzz.sh [SECONDS]
# Inputs it finds go to build/fuzz/corpus, never into the repository. A crash
# leaves its input in build/fuzz/crashes/ and fails the run: put that file in
# tests/fuzz/corpus under a name that says what it shows, and
# exchange_unittest replays it in every test run from then on.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-600}"
dir="${QENO_BUILD_PREFIX:-build/}fuzz"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQENO_FUZZ=ON -DQENO_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target exchange_fuzzer
mkdir -p "$dir/corpus" "$dir/crashes"
echo "fuzz: exchange_fuzzer for $seconds s (log: $dir/fuzz.log)"
# Inputs up to 32 KB: several full chunks of 10000 bytes and more.
if ! "$dir/exchange_fuzzer" -max_total_time="$seconds" -max_len=32768 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$dir/crashes/" "$dir/corpus" tests/fuzz/corpus \
  >"$dir/fuzz.log" 2>&1; then
  tail -n 60 "$dir/fuzz.log"
  echo "fuzz: FAILED; the input is in $dir/crashes/" >&2
  exit 1
fi
grep -E '^(Done|stat::(number_of_executed_units|new_units_added))' "$dir/fuzz.log"
