#!/usr/bin/env bash
# The other figures of qeno-host: how long stop takes in each state, the idle
# CPU of a listening server, resident memory idle and after many requests,
# and one qeno-host serving 32 boxes on 32 ports under load.
#   bash bench/measure.sh [REQUESTS_FOR_MEMORY]
set -euo pipefail
cd "$(dirname "$0")/.."

requests="${1:-100000}"
source bench/common.sh

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

echo "machine: $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%d)"
"$bin/stop_bench" 50

port=$(free_port)
"$bin/qeno-host" --port "$port" --reply 42 --quiet </dev/null >"$out/one.out" 2>&1 &
pid=$!
pids+=("$pid")
wait_listening "$out/one.out" 1
sleep 1
hz=$(getconf CLK_TCK)
before=$(ticks "$pid")
sleep 10
after=$(ticks "$pid")
awk -v t=$((after - before)) -v hz="$hz" 'BEGIN {printf "idle CPU of a listening server: %.2f %% of a core over 10 s\n", 100 * t / hz / 10}'
idle=$(rss_kib "$pid")
# A first thousand requests bring in what any served request needs once
# (the closer thread, allocator arenas); growth after that is what counts.
"$bin/qeno-bench" --port "$port" -n 1000 --expect '42,x' --label warm-up >/dev/null
warm=$(rss_kib "$pid")
"$bin/qeno-bench" --port "$port" -n "$requests" --expect '42,x' --label memory | grep -v '^RESULT' | sed 's/^/  /'
loaded=$(rss_kib "$pid")
echo "resident memory: idle ${idle} KiB, after 1000 requests ${warm} KiB, after $requests more ${loaded} KiB (growth $((loaded - warm)) KiB)"

# 32 boxes, each with its own port, enable and reply sources and sink.
base=$(free_port)
while ss -Htan | awk '{print $4}' | grep -qE ":($base|$((base + 31)))$"; do base=$(free_port); done
graph="$out/32.json"
{
  echo '{"format": "qeno-graph", "version": 1, "modules": ['
  for i in $(seq 0 31); do
    [ "$i" -gt 0 ] && echo ','
    printf '{"class": "QenoServer", "content": {"port": %d}},' $((base + i))
    printf '{"class": "IntegerSource", "content": {"value": 1}},'
    printf '{"class": "IntegerSource", "content": {"value": %d}},' "$i"
    printf '{"class": "TextSink", "content": {}}'
  done
  echo '], "links": ['
  for i in $(seq 0 31); do
    [ "$i" -gt 0 ] && echo ','
    m=$((4 * i))
    printf '{"from": {"module": %d, "output": 0}, "to": {"module": %d, "input": 0}},' $((m + 1)) "$m"
    printf '{"from": {"module": %d, "output": 0}, "to": {"module": %d, "input": 1}},' $((m + 2)) "$m"
    printf '{"from": {"module": %d, "output": 29}, "to": {"module": %d, "input": 0}}' "$m" $((m + 3))
  done
  echo ']}'
} >"$graph"
"$bin/qeno-host" --graph "$graph" --quiet </dev/null >"$out/32.out" 2>&1 &
pids+=($!)
wait_listening "$out/32.out" 32
for i in $(seq 0 31); do
  "$bin/qeno-bench" --port $((base + i)) -n 2000 --expect "$i,x" --label "port$((base + i))" \
    | grep '^RESULT' >"$out/32-$i.result" &
done
wait_jobs=$(jobs -p | grep -v -w -e "${pids[0]}" -e "${pids[1]}" || true)
for job in $wait_jobs; do wait "$job" || true; done
cat "$out"/32-*.result | awk '
  { for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    ok += v["ok"]; bad += v["errors"] + v["wrong"]; rps += v["rps"]; n++
    if (v["p99_us"] > p99) p99 = v["p99_us"] }
  END { printf "32 boxes on 32 ports, 32 clients at once: %d ports answered, %d requests ok, %d failed, %.0f requests/s in all, worst p99 %d us\n", n, ok, bad, rps, p99 }'
