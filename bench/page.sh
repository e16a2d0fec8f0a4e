#!/usr/bin/env bash
# Sequential request rate of qeno-host with and without an editor page's
# event stream open, interleaved, and how fast the page's state answers while
# the requests flow.
#   bash bench/page.sh [REQUESTS_PER_RUN] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."

requests="${1:-5000}"
rounds="${2:-3}"

source bench/common.sh

port=$(free_port)
"$bin/qeno-host" --port "$port" --reply 42 --quiet --ui 127.0.0.1:0 </dev/null >"$out/qeno.out" 2>&1 &
pids+=($!)
wait_listening "$out/qeno.out" 1
page_address "$out/qeno.out"

run() {  # label
  "$bin/qeno-bench" --port "$port" -n "$requests" --expect '42,x' --label "$1" \
    | grep '^RESULT' >>"$out/results" || true
}

echo "machine: $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%d)"
echo "runs: $rounds rounds x $requests sequential requests, without and with a page's event stream"
for round in $(seq "$rounds"); do
  run no-page
  # What a page receives: the event stream, read as it comes.
  curl -sN -H "Authorization: Bearer $token" "$base/api/events" >"$out/events.$round" &
  stream=$!
  pids+=($stream)
  # Meanwhile a page asks for the whole state now and then.
  (
    while :; do
      curl -s -o /dev/null -w '%{time_total}\n' -H "Authorization: Bearer $token" "$base/api/graph"
      sleep 0.2
    done
  ) >>"$out/graph-times" 2>/dev/null &
  poller=$!
  pids+=($poller)
  started=$(date +%s.%N)
  run page-open
  ended=$(date +%s.%N)
  kill "$poller" "$stream" 2>/dev/null || true
  wait "$poller" "$stream" 2>/dev/null || true
  events=$(grep -c '^event: state' "$out/events.$round" || true)
  awk -v e="$events" -v a="$started" -v b="$ended" \
    'BEGIN { printf "round %d: %d state events in %.1f s (%.1f a second)\n", '"$round"', e, b - a, e / (b - a) }'
done

awk '
  {
    for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    l = v["label"]; n[l]++
    rps[l] += v["rps"]; p50[l] += v["p50_us"]; p99[l] += v["p99_us"]
    if (v["max_us"] > mx[l]) mx[l] = v["max_us"]
    errors[l] += v["errors"] + v["wrong"]
  }
  END {
    printf "%-10s %10s %8s %8s %9s %7s\n", "run", "req/s", "p50 us", "p99 us", "max us", "errors"
    split("no-page page-open", order, " ")
    for (k = 1; k <= 2; k++) {
      l = order[k]
      printf "%-10s %10.0f %8.0f %8.0f %9d %7d\n", l, rps[l]/n[l], p50[l]/n[l], p99[l]/n[l], mx[l], errors[l]
    }
    printf "with a page / without: %.2f\n", (rps["page-open"]/n["page-open"]) / (rps["no-page"]/n["no-page"])
  }' "$out/results"
sort -n "$out/graph-times" | awk '{ t[NR] = $1 } END { if (NR) printf "/api/graph while requests flow: %d answers, median %.1f ms, slowest %.1f ms\n", NR, t[int((NR + 1) / 2)] * 1000, t[NR] * 1000 }'
