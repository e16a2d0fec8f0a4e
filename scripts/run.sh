#!/usr/bin/env bash
# Installs what is missing, builds, and runs qeno-host with the given
# arguments.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh plain >/dev/null
exec build/plain/qeno-host "$@"
