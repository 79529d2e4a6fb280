#!/usr/bin/env bash
# demo/run-demo.sh run from a folder outside the repository, without a build
# folder argument: it takes the build folder beside its own place, and when
# that holds no build it says at once what is missing and how to build it.
# The script is copied into a repository of its own, whose build/ is a link
# to this build (or nothing), so the test does not depend on where the tree
# was built.
# Usage: check_run_demo.sh SCRIPT BUILD_DIR
set -u
script=$1
build=$(cd "$2" && pwd)
tmp=$(mktemp -d /tmp/brio-run-demo-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/repo/demo" "$tmp/elsewhere"
cp "$script" "$tmp/repo/demo/run-demo.sh"
fail=0

expect() {  # what, condition...
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what"
    fail=1
  fi
}

# name | build/ link | exit status | text the output holds
cases=(
  "built|yes|0|skftest: "
  "not built|no|1|make -C $tmp/repo build"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name link want text <<<"$row"
  rm -f "$tmp/repo/build"
  [ "$link" = yes ] && ln -s "$build" "$tmp/repo/build"
  # A bound against a hang only.
  out=$(cd "$tmp/elsewhere" && timeout 300 bash "$tmp/repo/demo/run-demo.sh" 2>&1)
  status=$?
  echo "== $name: exit $status"
  echo "$out" | tail -n 5
  expect "$name: exit status $want" [ "$status" -eq "$want" ]
  expect "$name: output holds \"$text\"" grep -qF -- "$text" <<<"$out"
  if [ "$link" = no ]; then
    expect "$name: names the missing program" grep -qF -- "$tmp/repo/build/vtoken/brio-vtoken" <<<"$out"
  else
    expect "$name: no step failed" grep -q 'steps passed, 0 failed$' <<<"$out"
  fi
done
exit $fail
