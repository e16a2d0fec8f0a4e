#!/usr/bin/env bash
# How fast the editor page answers an authenticated /api/graph while idle
# connections and connections trickling a request head hold on to it (each
# reopened as soon as the page closes it).
#   bash bench/page_hold.sh [IDLE] [SLOW] [GAP_MS] [REQUESTS]
set -euo pipefail
cd "$(dirname "$0")/.."

idle="${1:-150}"
slow="${2:-20}"
gap="${3:-3000}"
requests="${4:-40}"

source bench/common.sh

port=$(free_port)
"$bin/qeno-host" --port "$port" --reply 42 --quiet --ui 127.0.0.1:0 </dev/null >"$out/qeno.out" 2>&1 &
pids+=($!)
wait_listening "$out/qeno.out" 1
page_address "$out/qeno.out"
page_port=${base##*:}

echo "machine: $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%d)"
echo "held: $idle idle and $slow slow connections (one head byte every $gap ms); $requests timed requests, 250 ms apart"
"$bin/page_hold" --port "$page_port" --token "$token" --idle "$idle" --slow "$slow" \
  --gap-ms "$gap" --requests "$requests"
