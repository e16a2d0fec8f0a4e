#!/usr/bin/env bash
# 256 servers in one qeno-host with its editor page: the request rate over
# all of them with no page and with a page at work (event stream read, an
# edit every 100 ms, /api/graph timed), interleaved; how soon a served
# request shows on the page's event stream; /api/graph's answer time.
#   bash bench/page_live.sh [SECONDS_PER_RUN] [ROUNDS] [CLIENTS] [SERVERS] [SINKS]
# SINKS 1 (default) gives each server a text sink, whose received texts the
# page logs; 0 leaves them out, so that only change events show texts.
# QENO_HOST names another qeno-host to measure (an older build, say).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-8}"
rounds="${2:-3}"
clients="${3:-8}"
servers="${4:-256}"
sinks="${5:-1}"

source bench/common.sh

server_graph "$servers" "$sinks"

"${QENO_HOST:-$bin/qeno-host}" --graph "$out/graph.json" --quiet --ui 127.0.0.1:0 </dev/null >"$out/qeno.out" 2>&1 &
pids+=($!)
host=$!
wait_listening "$out/qeno.out" "$servers" 300
page_address "$out/qeno.out"
page_port=${base##*:}

echo "machine: $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%d), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "graph: $servers servers, each with its integer source$([ "$sinks" = 1 ] && echo " and text sink") ($(((2 + sinks) * servers)) boxes), $(grep -c . "$out/ports") ports"
echo "runs: $rounds rounds x ${seconds} s, $clients clients at once over $((servers - 32)) servers, a probe every 20 ms over the other 32 in turn, without and with a page at work"
run() {  # label [page options]
  local label=$1
  shift
  "$bin/page_live" --ports-file "$out/ports" --clients "$clients" --seconds "$seconds" \
    --label "$label" --edit-boxes "$servers" "$@" | tee -a "$out/runs" | grep '^RESULT' >>"$out/results" || true
}
for round in $(seq "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then
    run no-page
    run page --page --page-port "$page_port" --token "$token"
  else
    run page --page --page-port "$page_port" --token "$token"
    run no-page
  fi
done
grep -v '^RESULT' "$out/runs" || true
threads=$(ls "/proc/$host/task" | wc -l)
rss=$(awk '/VmRSS/ { print $2 }' "/proc/$host/status")
echo "qeno-host at the end: $threads threads, $((rss / 1024)) MiB resident"

awk '
  {
    delete v
    for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    l = v["label"]; n[l]++
    rps[l] += v["rps"]; errors[l] += v["errors"]; retries[l] += v["retries"]
    if (l == "page") {
      printf "page run %d: %d probes, %d never shown, shown after p50 %s ms, p99 %s ms, max %s ms; of %d traced load requests %d never shown; %d state, %d change, %d log events, %.1f MB; /api/graph x%d p50 %s ms, max %s ms; %d edits, %d failed\n", \
        n[l], v["probes"], v["probes_missed"], v["seen_p50_ms"], v["seen_p99_ms"], v["seen_max_ms"], v["samples"], v["missed"], v["states"], v["changes"], v["logs"], v["stream_mb"], v["graphs"], v["graph_p50_ms"], v["graph_max_ms"], v["edits"], v["edits_failed"]
    }
  }
  END {
    printf "%-8s %10s %7s %8s\n", "run", "req/s", "errors", "retries"
    split("no-page page", order, " ")
    for (k = 1; k <= 2; k++) {
      l = order[k]
      printf "%-8s %10.0f %7d %8d\n", l, rps[l] / n[l], errors[l], retries[l]
    }
    printf "with a page at work / without: %.2f\n", (rps["page"] / n["page"]) / (rps["no-page"] / n["no-page"])
  }' "$out/results"
