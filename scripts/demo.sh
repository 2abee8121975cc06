#!/usr/bin/env bash
# The demonstration: a browser and Safari talking to a stand-in Karvo application through the bridge.
# Installs what is missing, builds, and runs everything in a scratch home that it removes afterwards.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"

build="$root/build/demo"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target karvo-host karvo-open karvo-standin-app karvo-browser KarvoSafari
bin="$build/bin"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/karvo-demo.XXXXXX")
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  for f in "$scratch"/*.pid; do [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
home="$scratch/home"
data="$home/Library/Application Support/com.karvo.app"
mkdir -p "$home"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
wait_for() {  # wait_for FILE [present|absent]
  for _ in $(seq 100); do
    if [ "${2:-present}" = present ]; then [ -f "$1" ] && return 0; else [ ! -f "$1" ] && return 0; fi
    sleep 0.05
  done
  echo "timed out waiting for $1" >&2
  return 1
}
start_app() {
  "$bin/karvo-standin-app" --home "$home" --quiet "$@" >"$scratch/app.log" &
  app_pid=$!
  wait_for "$data/ipc.json"
}
stop_app() {
  kill "$app_pid"
  wait "$app_pid" 2>/dev/null || true
  app_pid=
}

say "Karvo (the stand-in) is running; its endpoint file:"
start_app
sed 's/"token":"[^"]*"/"token":"…"/' "$data/ipc.json"; echo

say "A browser extension talks to it through karvo-host"
"$bin/karvo-browser" --home "$home" --hold 300 -- \
  '{"type":"hello","id":"h1"}' '{"type":"ping","id":"r1","data":{"b":2,"a":1}}'

say "Safari: two profiles send through their own relays; the default profile has no link and no greeting yet"
profile='{"uuid":"0F6B2C3E-9A41-4B5D-8E2F-3C1D7A9B6E40"}'
requests=(
  '{"n":1,"profile":'"$profile"',"message":{"op":"send","hello":{"type":"hello","source":"safari"},"msg":{"type":"ping","source":"popup","id":"s1"}}}'
  '{"n":2,"profile":'"$profile"',"message":{"op":"poll"}}'
  '{"n":3,"message":{"op":"send","msg":{"type":"ping","id":"s2"}}}'
  '{"n":4,"message":{"op":"poll","hello":{"type":"hello","source":"safari"}}}'
)
for r in "${requests[@]}"; do echo "→ Safari  $r"; done
printf '%s\n' "${requests[@]}" | "$bin/KarvoSafari" --user-home "$home" 2>"$scratch/safari.log" | sed 's/^/← Safari  /'
sed 's/^/KarvoSafari log: /' "$scratch/safari.log"; echo

say "Karvo quits; the host answers \"app-unavailable\" for two seconds, then ends"
stop_app
"$bin/karvo-browser" --home "$home" --hold 3000 -- '{"type":"ping","id":"r2"}' '{"type":"no id"}' '{"id":7}'

say "Karvo is down but its endpoint file names its executable: a first message with \"launch\": true starts it"
printf '{"port":9,"token":"stale","exe":"%s"}\n' "$bin/karvo-standin-app" >"$data/ipc.json"
"$bin/karvo-browser" --home "$home" --hold 3000 --timeout 25000 \
  --env "KARVO_STANDIN_ARGS=--quiet"$'\n'"--pid-file"$'\n'"$scratch/launched.pid" -- \
  '{"type":"ping","id":"r3","launch":true}'
echo "launch lock after the relay: $([ -e "$data/launch.lock" ] && echo present || echo gone)"
