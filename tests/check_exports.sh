#!/usr/bin/env bash
# Fails when a shared library exports a symbol outside the allowed pattern.
# Usage: check_exports.sh LIBRARY EXTENDED-REGEX
set -euo pipefail
extra=$(nm -D --defined-only "$1" | c++filt | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
        grep -vE '^(_edata|_end|__bss_start)$' | grep -vE "$2" || true)
if [ -n "$extra" ]; then
  echo "$1 exports more than it should:"
  echo "$extra"
  exit 1
fi
