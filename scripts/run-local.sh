#!/usr/bin/env bash
# Starts the reference backend on loopback and runs Velmora against it.
# Without a display it runs the headless demonstrations instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build
port="${VELMORA_PORT:-8443}"
token="${VQ_SERVER_TOKEN:-dev-$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')}"

"$bin/server/velmora-server" --listen "127.0.0.1:$port" --token "$token" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true' EXIT

export VQ_SERVER="http://127.0.0.1:$port" VQ_SERVER_TOKEN="$token"
for _ in $(seq 1 50); do
  curl -fsS -H "Authorization: Bearer $token" "$VQ_SERVER/ping" >/dev/null 2>&1 && break
  kill -0 "$server_pid" 2>/dev/null || { echo "velmora-server did not start" >&2; exit 1; }
  sleep 0.1
done

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$bin/src/app/velmora" "$@"
fi

echo "== No display: headless demonstration against $VQ_SERVER =="
"$bin/src/app/velmora" --test-polish "um so I think we should uh ship it on friday" chat
"$bin/src/app/velmora" --test-polish "hi anna thanks for the notes. best regards tom" mail
if command -v flite >/dev/null; then
  wav="$(mktemp --suffix=.wav)"
  flite -voice slt -t "please send the quarterly report to the finance team by friday" -o "$wav"
  "$bin/src/app/velmora" --test-asr "$wav" || true
  rm -f "$wav"
fi
