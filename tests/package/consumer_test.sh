#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as an integrator would: two hosts
# built with find_package (one loads the module with dlopen, one links it), one built with
# pkg-config, the exported symbols of the installed libraries, and the installed host
# program finding its module and demo models from where it is installed.
# Usage: consumer_test.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build=$(cd "$1" && pwd); src=$(cd "$2" && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libZRVCustomWeaponDetection.so | head -n 1)")
models=$prefix/share/zrv-weapon-detection/models/demo
# The installed engine runs on the OpenVINO libraries installed with it, not on the ones it
# was built against.
if ldd "$libdir/libZRVLIB.so" | grep 'not found'; then exit 1; fi
openvino=$(ldd "$libdir/libZRVLIB.so" | awk '$1 ~ /^libopenvino\.so/ { print $3 }')
case $openvino in
  ""|"$prefix"/*) ;;
  *) echo "the installed engine runs on $openvino, outside $prefix"; exit 1 ;;
esac
for lib in module:ZRVCustomWeaponDetection engine:ZRVLIB; do
  "$src/tests/check_exports.sh" "$libdir/lib${lib#*:}.so" "$src/tests/exports/${lib%%:*}.symbols"
done

echo "== find_package"
cmake -S "$src/tests/package/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/dlopen_host" "$libdir/libZRVCustomWeaponDetection.so" "$models"
"$work/consumer/linked_host" "$libdir/libZRVCustomWeaponDetection.so" "$models"

echo "== pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 -DCONSUMER_LINKED -DZRV_OUT_OF_LINE_SETTER "$src/tests/package/consumer/host.cpp" \
    -o "$work/pc_host" $(pkg-config --cflags --libs zrv-weapon-detection) -Wl,-rpath,"$libdir"
"$work/pc_host" "$libdir/libZRVCustomWeaponDetection.so" "$models"

echo "== installed weapon-detect"
"$prefix/bin/weapon-detect" --version
"$prefix/bin/weapon-detect" --demo --max-frames 60 -q --output-dir "$work/demo" >/dev/null
test -s "$work/demo/detections.jsonl"
echo "consumer build: ok"
