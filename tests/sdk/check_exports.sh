#!/bin/sh
# Compares the library's exported dynamic symbols with the committed list.
# Usage: check_exports.sh <libtarvonel.so> <expected list>
set -eu
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
nm -D --defined-only "$1" | awk '{print $3}' | sed 's/@.*//' | sort -u > "$actual"
if ! diff -u "$2" "$actual"; then
  echo "exported symbols differ from $2 (lines with + leak, lines with - are missing)" >&2
  exit 1
fi
