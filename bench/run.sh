#!/usr/bin/env bash
# Benchmarks qeno-host against the three floors and prints qeno-host's
# figures as ratios to each.
#   bash bench/run.sh [REQUESTS_PER_RUN] [ROUNDS] [CLIENTS]
# Every server gets a fresh port, so each starts without TIME_WAIT history.
# Each round measures qeno-host, the protocol floor and the tuned design
# floor once each, in an order that turns from round to round, so that
# machine noise hits all alike and each port collects the same history. The
# design floor's runs come after all rounds: the storm of refused and retried
# connections it leaves behind slowed whichever run followed it by 5-10 %.
set -euo pipefail
cd "$(dirname "$0")/.."

requests="${1:-5000}"
rounds="${2:-3}"
clients="${3:-1}"

source bench/common.sh

protocol_port=$(free_port)
design_port=$(free_port)
tuned_port=$(free_port)
qeno_port=$(free_port)
"$bin/floor_server" "$protocol_port" 42 & pids+=($!)
"$bin/floor_server" "$design_port" 42 --design & pids+=($!)
"$bin/floor_server" "$tuned_port" 42 --tuned & pids+=($!)
# End of standard input does not stop qeno-host.
"$bin/qeno-host" --port "$qeno_port" --reply 42 --quiet </dev/null >"$out/qeno.out" 2>&1 &
pids+=($!)
wait_listening "$out/qeno.out" 1

run() {  # label port
  "$bin/qeno-bench" --port "$2" -n "$requests" -c "$clients" --expect '42,x' --label "$1" \
    | grep '^RESULT' >>"$out/results" || true
}

echo "machine: $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%d)"
echo "runs: $rounds rounds x $requests requests, $clients client(s), interleaved; then the design floor"
order=("protocol-floor $protocol_port" "tuned-floor $tuned_port" "qeno-host $qeno_port")
for round in $(seq "$rounds"); do
  for i in 0 1 2; do
    # shellcheck disable=SC2086  # label and port
    run ${order[(i + round) % 3]}
  done
done
for _ in $(seq "$rounds"); do
  run design-floor "$design_port"
done

awk '
  {
    for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    l = v["label"]; n[l]++
    rps[l] += v["rps"]; p50[l] += v["p50_us"]; p90[l] += v["p90_us"]; p99[l] += v["p99_us"]
    if (v["max_us"] > mx[l]) mx[l] = v["max_us"]
    retries[l] += v["retries"]; errors[l] += v["errors"] + v["wrong"]; stalls[l] += v["stalls"]
  }
  END {
    printf "%-15s %10s %8s %8s %8s %9s %9s %7s %7s\n", "server", "req/s", "p50 us", "p90 us", "p99 us", "max us", "retries", "errors", "stalls"
    split("protocol-floor tuned-floor design-floor qeno-host", order, " ")
    for (k = 1; k <= 4; k++) {
      l = order[k]
      if (!n[l]) continue
      printf "%-15s %10.0f %8.0f %8.0f %8.0f %9d %9d %7d %7d\n", l, rps[l]/n[l], p50[l]/n[l], p90[l]/n[l], p99[l]/n[l], mx[l], retries[l], errors[l], stalls[l]
    }
    q = rps["qeno-host"]/n["qeno-host"]
    printf "qeno-host / protocol floor: %.2f   qeno-host / tuned design floor: %.2f   qeno-host / design floor: %.2f\n", q/(rps["protocol-floor"]/n["protocol-floor"]), q/(rps["tuned-floor"]/n["tuned-floor"]), q/(rps["design-floor"]/n["design-floor"])
  }' "$out/results"
