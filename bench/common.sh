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
