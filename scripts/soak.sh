#!/usr/bin/env bash
# The long forms of the soak and churn tests (the test suite runs their
# short forms): qeno-host under the mixed hostile load for SECONDS (default
# 600), then CYCLES start/serve/stop cycles (default 20000), in a FLAVOUR
# build (plain, asan or tsan; default plain).
#   bash scripts/soak.sh [SECONDS] [FLAVOUR] [CYCLES]
# QENO_SOAK_SEED=S repeats a soak's choice of clients; each run prints its seed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-600}"
flavour="${2:-plain}"
cycles="${3:-20000}"
source scripts/sanitizer-options.sh
bash scripts/build.sh "$flavour"
dir="${QENO_BUILD_PREFIX:-build/}$flavour"
QENO_SOAK_SECONDS="$seconds" "$dir/soak_unittest"
QENO_CHURN_CYCLES="$cycles" "$dir/churn_unittest"
