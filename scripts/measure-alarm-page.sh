#!/usr/bin/env bash
# Measures, in headless chromium, the time from the API showing a new alarm to the page's banner
# (and to its red camera tile), over COUNT alarms: a file looped in real time through the
# model-free steady module, which alarms every 2 s; each alarm is acknowledged on the page
# before the next. Prints each figure and the medians (JSON, milliseconds). A measure, not a test.
# Usage: scripts/measure-alarm-page.sh [COUNT]   (default 20; needs a built tree in BUILD=build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
count=${1:-20}
scratch=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=640x360:rate=25 -t 4 -c:v mjpeg -q:v 5 "$scratch/scene.avi"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
STEADY_MODULE_BURSTS=1 "$build/bin/weapon-detect" "$scratch/scene.avi" --camera-id door --realtime --loop \
  --module "$build/tests/libzrv_steady_module.so" --quiet-time 0.2 --no-clips -q -o "$scratch/out.jsonl" \
  --http "127.0.0.1:$port" 2>"$scratch/run.log" &
pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/api/cameras" && break
  sleep 0.1
done
python3 tests/support/cdp_page.py latency "http://127.0.0.1:$port/" --count "$count" --timeout 600
