#!/usr/bin/env bash
# The module's and the engine's sources must stay portable to Windows hosts: each one is
# compiled (syntax only, against OpenCV's headers) with the MinGW-w64 cross compiler.
# The engine is checked twice, as CMake builds it: without OpenVINO (only the OpenCV DNN
# backend), and with it, against the headers of the pinned OpenVINO wheel in .deps/openvino
# when that is installed.
# Usage: windows_syntax.sh SOURCE-DIR
set -euo pipefail
src=$1
cxx=x86_64-w64-mingw32-g++-posix
opencv=$(pkg-config --variable=includedir opencv4)/opencv4
[ -d "$opencv" ] || opencv=/usr/include/opencv4
status=0
check() {  # compiler flags..., --, files...
  local flags=()
  while [ "$1" != -- ]; do flags+=("$1"); shift; done
  shift
  for f in "$@"; do
    if ! "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Werror "${flags[@]}" \
         -I"$src/include" -I"$src/src" -I"$opencv" "$f"; then
      echo "does not compile for Windows: ${f#"$src"/}"; status=1
    fi
  done
}
check -DZRV_BUILDING_PLUGIN -- "$src"/src/detector/*.cpp
check -DZRV_BUILDING_ENGINE -DZRV_HAVE_OPENVINO=0 -DZRV_DEFAULT_BACKEND_OPENVINO=0 -- \
  "$src"/src/engine/*.cpp "$src"/src/engine/opencv/*.cpp

# With OpenVINO: its backend, and backend.cpp, the one file that changes with it. OpenVINO's
# headers are system headers here as in the CMake build; included with -I, MinGW warns in
# them (-Wattributes on friends redeclared without dllimport in openvino/core/symbol.hpp and
# node.hpp, -Wunused-parameter in openvino/core/attribute_adapter.hpp).
openvino=$(find "$src/.deps/openvino/lib" -path '*/site-packages/openvino/include' -type d 2>/dev/null | head -n 1)
if [ -n "$openvino" ]; then
  check -DZRV_BUILDING_ENGINE -DZRV_HAVE_OPENVINO=1 -DZRV_DEFAULT_BACKEND_OPENVINO=1 -isystem "$openvino" -- \
    "$src"/src/engine/openvino/*.cpp "$src/src/engine/backend.cpp"
else
  echo "OpenVINO's headers not installed (scripts/install-deps.sh): its backend not checked"
fi
exit $status
