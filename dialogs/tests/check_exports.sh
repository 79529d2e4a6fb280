#!/bin/sh
# Checks that the dialog library defines exactly its two calls for other
# objects, under its version, and carries its soname.
set -eu
lib="$1"
exported=$(nm -D --defined-only "$lib" | awk '$2 != "A" { print $3 }' | sort | tr '\n' ' ')
expected="GetUserPIN@@BRIOUI_1.0 ShowConfirmationPrompt@@BRIOUI_1.0 "
if [ "$exported" != "$expected" ]; then
  echo "exported: $exported"
  echo "expected: $expected"
  exit 1
fi
readelf -d "$lib" | grep -q 'Library soname: \[libbrioui-enterprise.so.1\]' || { echo "soname missing"; exit 1; }
echo "exports: $exported"
