#!/usr/bin/env bash
# The editor page's whole state with many servers: N servers (1024 unless
# told), each with its integer source (and, with SINKS 1, a text sink), every
# one of them served one request first, so that each shows a last text. Then
# the size of /api/graph and of the state an event stream starts with, and
# /api/graph's answer time, five times (median and slowest).
#   bash bench/page_state.sh [SERVERS] [SINKS]
# QENO_HOST names another qeno-host to measure (an older build, say).
set -euo pipefail
cd "$(dirname "$0")/.."

servers="${1:-1024}"
sinks="${2:-0}"

source bench/common.sh

server_graph "$servers" "$sinks"
"${QENO_HOST:-$bin/qeno-host}" --graph "$out/graph.json" --quiet --ui 127.0.0.1:0 </dev/null >"$out/qeno.out" 2>&1 &
pids+=($!)
host=$!
wait_listening "$out/qeno.out" "$servers" 600
page_address "$out/qeno.out"

echo "machine: $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%d), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "graph: $servers servers, each with its integer source$([ "$sinks" = 1 ] && echo " and text sink") ($(((2 + sinks) * servers)) boxes)"

# One request to every server, each a text of its own.
answered=0
while read -r port; do
  if exec 3<>"/dev/tcp/127.0.0.1/$port" 2>/dev/null; then
    printf 'hello %s\r\n' "$port" >&3
    reply=$(timeout 5 cat <&3 || true)
    exec 3<&-
    [[ "$reply" == *,x ]] && answered=$((answered + 1))
  fi
done <"$out/ports"
echo "servers that answered: $answered of $servers"
# What the requests changed reaches the state within a few snapshots.
sleep 2

get_graph() {
  curl -s -o "$out/graph.out" -w '%{time_total} %{size_download}\n' \
    -H "Authorization: Bearer $token" "$base/api/graph"
}
for _ in 1 2 3 4 5; do get_graph; done >"$out/times"
# A stream's first event is the whole state.
timeout 5 curl -sN -H "Authorization: Bearer $token" "$base/api/events" >"$out/events" || true
state_bytes=$(awk '/^event: state/ { getline; print length($0) - 6; exit }' "$out/events")
shown=$(grep -o '"lastChunk":"hello [0-9]*' "$out/graph.out" | wc -l)
threads=$(ls "/proc/$host/task" | wc -l)
rss=$(awk '/VmRSS/ { print $2 }' "/proc/$host/status")
sort -n "$out/times" | awk -v state="$state_bytes" -v shown="$shown" '
  { t[NR] = $1 * 1000; size = $2 }
  END {
    printf "/api/graph: %d bytes (%.2f MiB), last texts shown for %d servers\n", size, size / 1048576, shown
    printf "event stream state: %d bytes (%.2f MiB)\n", state, state / 1048576
    printf "/api/graph x%d: median %.1f ms, slowest %.1f ms\n", NR, t[int((NR + 1) / 2)], t[NR]
  }'
echo "qeno-host: $threads threads, $((rss / 1024)) MiB resident"
