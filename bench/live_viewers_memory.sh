#!/bin/bash
# Memory (resident set) of weapon-detect with no live viewer and with 10 live stream viewers.
#
#   bench/live_viewers_memory.sh [BUILD_DIR]     (default: build)
#
# Three cameras play one test pattern (640x360, 25 fps) in real time with the model-free steady
# module, the page on a free loopback port; ten curl clients watch the MJPEG streams (4 + 3 + 3,
# under the per-camera bound of 4). The RSS is sampled every second for 10 s in each phase after
# 5 s to settle; the script prints the median and the largest of each. Loopback only; it stops
# everything it started.
set -euo pipefail
build=${1:-build}
program=$build/bin/weapon-detect
module=$build/tests/libzrv_steady_module.so
for f in "$program" "$module"; do
  [[ -e $f ]] || { echo "missing $f: build weapon-detect and zrv_steady_module first" >&2; exit 1; }
done
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=640x360:rate=25 -t 10 -c:v mjpeg -q:v 5 \
  "$work/clip.avi"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$program" "$work/clip.avi" "$work/clip.avi" "$work/clip.avi" --realtime --loop --module "$module" -q \
  -o "$work/out.jsonl" --http "127.0.0.1:$port" 2>"$work/run.log" &
program_pid=$!
pids+=("$program_pid")
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/api/cameras" && break; sleep 0.1; done

# Median and largest RSS in MiB over 10 samples, after 5 s to settle.
measure() {
  sleep 5
  local samples=()
  for _ in $(seq 10); do
    samples+=("$(awk '/^VmRSS/ {print $2}' "/proc/$program_pid/status")")
    sleep 1
  done
  printf '%s\n' "${samples[@]}" | sort -n |
    awk '{a[NR]=$1} END {printf "median %.1f MiB, largest %.1f MiB\n", a[int((NR+1)/2)]/1024, a[NR]/1024}'
}

echo "no viewer:       $(measure)"
for camera in 0 0 0 0 1 1 1 2 2 2; do
  curl -s -N -o /dev/null "http://127.0.0.1:$port/api/cameras/$camera/live.mjpeg" &
  pids+=("$!")
done
echo "10 live viewers: $(measure)"
viewers=$(curl -s "http://127.0.0.1:$port/metrics" | awk '/^weapon_detect_live_viewers/ {n += $2} END {print n}')
frames=$(curl -s "http://127.0.0.1:$port/metrics" | awk '/^weapon_detect_live_frames_total/ {n += $2} END {print n}')
echo "viewers counted by the program: $viewers; live JPEGs made: $frames"
