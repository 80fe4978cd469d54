#!/usr/bin/env bash
# The module's and the engine's sources must stay portable to Windows hosts: each one is
# compiled (syntax only, against OpenCV's headers) with the MinGW-w64 cross compiler.
# Usage: windows_syntax.sh SOURCE-DIR
set -euo pipefail
src=$1
cxx=x86_64-w64-mingw32-g++-posix
opencv=$(pkg-config --variable=includedir opencv4)/opencv4
[ -d "$opencv" ] || opencv=/usr/include/opencv4
status=0
check() {  # define, files...
  local define=$1; shift
  for f in "$@"; do
    if ! "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Werror -D"$define" \
         -I"$src/include" -I"$src/src" -I"$opencv" "$f"; then
      echo "does not compile for Windows: ${f#"$src"/}"; status=1
    fi
  done
}
check ZRV_BUILDING_PLUGIN "$src"/src/detector/*.cpp
check ZRV_BUILDING_ENGINE "$src"/src/engine/*.cpp
exit $status
