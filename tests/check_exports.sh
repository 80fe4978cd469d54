#!/usr/bin/env bash
# Fails unless a shared library exports exactly the symbols of a list (demangled, one per
# line): nothing missing that hosts link against, nothing extra.
# Template instantiations that unoptimised builds emit for our types (their demangled names
# start with a return type, so a space comes before the first parenthesis) are not part of
# the interface and are left out.
# Usage: check_exports.sh LIBRARY SYMBOL-LIST
set -euo pipefail
actual=$(nm -D --defined-only "$1" | c++filt | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
         grep -vE '^(_edata|_end|__bss_start)$' | grep -vE '^[^(]* [^(]*\(' | LC_ALL=C sort -u)
expected=$(LC_ALL=C sort -u "$2")
missing=$(LC_ALL=C comm -13 <(echo "$actual") <(echo "$expected"))
extra=$(LC_ALL=C comm -23 <(echo "$actual") <(echo "$expected"))
status=0
if [ -n "$missing" ]; then
  echo "$1 does not export:"; echo "$missing"; status=1
fi
if [ -n "$extra" ]; then
  echo "$1 exports more than it should:"; echo "$extra"; status=1
fi
exit $status
