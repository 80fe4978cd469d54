#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a site would, runs the installed
# host program on the demo from its installed paths, and purges the package again.
# Needs root, and a machine where neither package is installed: it removes only what it
# installed itself (skipped otherwise: exit 77).
# Usage: deb_test.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
packages=(zrv-weapon-detection zrv-weapon-detection-dev)
[ "$(id -u)" -eq 0 ] || { echo "not root: skipped"; exit 77; }
for p in "${packages[@]}"; do
  # Any trace of it (installed, or its configuration left behind) belongs to the machine.
  state=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  if [ -n "$state" ] && [ "$state" != not-installed ]; then
    echo "$p is on this machine ($state): skipped, so that the test does not purge it; remove it first"
    exit 77
  fi
done
work=$(mktemp -d)
installed=0
cleanup() {
  # Purged, not just removed: the ldconfig call in its postrm would keep a record behind.
  if [ "$installed" -eq 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB >/dev/null)
debs=("$work"/zrv-weapon-detection_*.deb "$work"/zrv-weapon-detection-dev_*.deb)
for deb in "${debs[@]}"; do dpkg-deb --field "$deb" Package Version Depends; echo; done
installed=1  # from here on, whatever apt-get got to is ours to purge
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >/dev/null
weapon-detect --version
# The engine runs on the package's own OpenVINO (its private folder), found by its RUNPATH.
engine=$(dpkg -L zrv-weapon-detection | grep -E '/libZRVLIB\.so\.[0-9]+$')
if ldd "$engine" | grep 'not found'; then exit 1; fi
openvino=$(ldd "$engine" | awk '$1 ~ /^libopenvino\.so/ { print $3 }')
if [ -n "$openvino" ] && ! dpkg -S "$openvino" 2>/dev/null | grep -q '^zrv-weapon-detection:'; then
  echo "$engine runs on $openvino, which the package does not carry"; exit 1
fi
weapon-detect --demo --max-frames 60 -q --output-dir "$work/demo" >/dev/null
test -s "$work/demo/detections.jsonl"
test -f /usr/include/zrv/ZRVCustomClass.h
pkg-config --modversion zrv-weapon-detection
echo "Debian package: ok"
