#!/usr/bin/env bash
# Installs what building and running qeno-host needs, builds qeno-host, the
# QenoServer module and the stock boxes (no tests, no benchmarks, -O2,
# warnings left as warnings) into build/run, and runs qeno-host with the
# given arguments. The test command's builds are folders of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --run
dir=build/run
# -O2, as a packager builds, which builds faster than -O3.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
  "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" -DQENO_BUILD_TESTS=OFF -DQENO_BUILD_BENCH=OFF \
  -DQENO_WERROR=OFF >/dev/null
echo "run: building qeno-host into $dir" >&2
cmake --build "$dir" --target qeno-host qenoserver qenobasics -j "$(nproc)" >&2
exec "$dir/qeno-host" "$@"
