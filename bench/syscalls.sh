#!/usr/bin/env bash
# Counts, per request, the system calls (strace -c) and the context switches
# (all threads, from /proc) of qeno-host and of the tuned design floor: the
# costs that machine noise does not change.
#   bash bench/syscalls.sh [REQUESTS]
set -euo pipefail
cd "$(dirname "$0")/.."

requests="${1:-2000}"

source bench/common.sh

# Sum of voluntary and involuntary context switches of every thread of pid.
switches() {  # pid
  cat /proc/"$1"/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }'
}

bench() {  # port
  "$bin/qeno-bench" --port "$1" -n "$requests" -c 1 --expect '42,x' --label count \
    | grep -q ' errors=0 ' || { echo "syscalls: requests failed on port $1" >&2; exit 1; }
}

# Context switches, measured without a tracer.
measure_switches() {  # label pid port
  bench "$3"  # warm-up
  local before after
  before=$(switches "$2")
  bench "$3"
  after=$(switches "$2")
  awk -v l="$1" -v d="$((after - before))" -v n="$requests" \
    'BEGIN { printf "%-12s context switches per request: %.1f\n", l, d / n }'
}

# System calls, under strace -f -c: a warm-up, then the counted run.
measure_calls() {  # label port command...
  local label=$1 port=$2
  shift 2
  strace -f -c -o "$out/$label.trace" "$@" </dev/null >"$out/$label.out" 2>&1 &
  local tracer=$!
  pids+=("$tracer")
  for _ in $(seq 100); do
    ss -Htln "( sport = :$port )" | grep -q . && break
    sleep 0.1
  done
  bench "$port"
  kill -TERM "$(pgrep -P "$tracer")"
  wait "$tracer" || true
  awk -v l="$label" -v n="$requests" '$NF == "total" { printf "%-12s system calls per request: %.1f\n", l, $(NF - 2) / n }' \
    "$out/$label.trace"
}

tuned_port=$(free_port)
qeno_port=$(free_port)
"$bin/floor_server" "$tuned_port" 42 --tuned & pids+=($!)
"$bin/qeno-host" --port "$qeno_port" --reply 42 --quiet </dev/null >"$out/qeno.out" 2>&1 &
pids+=($!)
wait_listening "$out/qeno.out" 1
measure_switches tuned-floor "${pids[0]}" "$tuned_port"
measure_switches qeno-host "${pids[1]}" "$qeno_port"
kill "${pids[@]}" 2>/dev/null || true
wait 2>/dev/null || true
pids=()

tuned_port=$(free_port)
qeno_port=$(free_port)
measure_calls tuned-floor "$tuned_port" "$bin/floor_server" "$tuned_port" 42 --tuned
measure_calls qeno-host "$qeno_port" "$bin/qeno-host" --port "$qeno_port" --reply 42 --quiet
