# Shared by the benchmark scripts: builds, and keeps track of the servers
# they start so that every exit stops them. Source it from the repository's
# root.

bash scripts/install-deps.sh
bash scripts/build.sh release >/dev/null
bin=build/release
out="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$out"
}
trap cleanup EXIT

# A port that nothing listens on or is connected to, from a range the
# property sheet accepts.
free_port() {
  local port
  while :; do
    port=$((2000 + RANDOM % 7000))
    ss -Htan "( sport = :$port or dport = :$port )" | grep -q . || { echo "$port"; return; }
  done
}

# Waits until qeno-host's output file shows `count` servers listening, for
# tenths of a second (10 s unless told).
wait_listening() {  # file count [tenths]
  for _ in $(seq "${3:-100}"); do
    [ "$(grep -c 'listening on' "$1" 2>/dev/null || true)" -ge "$2" ] && return 0
    sleep 0.1
  done
  echo "qeno-host did not start its servers: $(tail -5 "$1")" >&2
  exit 1
}

# Sets url, token and base (http://address:port) from the editor page's
# address in qeno-host's output file, once it is there.
page_address() {  # file
  for _ in $(seq 100); do grep -q "http://" "$1" && break; sleep 0.1; done
  url=$(grep -o 'http://[^ ]*' "$1")
  token=${url##*token=}
  base=${url%%/\?*}
}

# Writes $out/ports (count free ports, one a line, from the range the property
# sheet accepts) and $out/graph.json: per server, the server on its port, an
# integer source on its readInput (1: listen) and, with sinks 1, a text sink
# on its text output, so that each received text is logged.
server_graph() {  # count sinks
  local servers=$1 sinks=$2
  ss -Htan | awk '{ n = split($4, a, ":"); print a[n]; n = split($5, b, ":"); print b[n] }' |
    sort -u >"$out/used"
  shuf -i 2000-9999 | grep -vxFf "$out/used" >"$out/free"
  head -n "$servers" "$out/free" >"$out/ports"
  awk -v n="$servers" -v sinks="$sinks" '
    { port[NR - 1] = $1 }
    END {
      print "{\"format\": \"qeno-graph\", \"version\": 1, \"modules\": ["
      for (i = 0; i < n; i++) {
        x = 400 * (i % 16); y = 300 * int(i / 16)
        printf "{\"class\": \"QenoServer\", \"content\": {\"x\": %d, \"y\": %d, \"width\": 160, \"height\": 200, \"address\": \"127.0.0.1\", \"port\": %d, \"url\": \"/\"}},\n", x, y, port[i]
      }
      for (i = 0; i < n; i++) {
        x = 400 * (i % 16); y = 300 * int(i / 16)
        printf "{\"class\": \"IntegerSource\", \"content\": {\"x\": %d, \"y\": %d, \"width\": 80, \"height\": 40, \"value\": 1}}%s\n", x + 20, y - 60, sinks || i + 1 < n ? "," : ""
        if (sinks) printf "{\"class\": \"TextSink\", \"content\": {\"x\": %d, \"y\": %d, \"width\": 80, \"height\": 40}}%s\n", x + 200, y + 160, i + 1 < n ? "," : ""
      }
      print "], \"links\": ["
      for (i = 0; i < n; i++) {
        step = sinks ? 2 : 1
        printf "{\"from\": {\"module\": %d, \"output\": 0}, \"to\": {\"module\": %d, \"input\": 0}}%s\n", n + step * i, i, sinks || i + 1 < n ? "," : ""
        if (sinks) printf "{\"from\": {\"module\": %d, \"output\": 29}, \"to\": {\"module\": %d, \"input\": 0}}%s\n", i, n + 2 * i + 1, i + 1 < n ? "," : ""
      }
      print "]}"
    }' "$out/ports" >"$out/graph.json"
}
