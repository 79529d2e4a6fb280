#!/usr/bin/env bash
# The main job: start a virtual token in a fresh state directory, provision
# it as an issued token (user PIN changed from the factory one, an SM2 and an
# RSA container with key pairs and certificates), run skftest's fixed
# sequence against it, stop the token, and say how many steps passed.
#   demo/run-demo.sh [BUILD_DIR]
# Without BUILD_DIR the build folder is the repository's build/, found from
# this script's own place, wherever it is run from.
set -uo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_arg="${1:-$repo/build}"
factory_pin=12345678
user_pin=Demo2026pin

# Everything the demo runs must be there before a token is started.
missing=()
for program in vtoken/brio-vtoken demo/brio-demo-provision skftest/skftest; do
  [ -x "$build_arg/$program" ] || missing+=("$build_arg/$program")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "demo: missing ${missing[*]}" >&2
  echo "demo: build it first: make -C $repo build (or give the build folder: $0 BUILD_DIR)" >&2
  exit 1
fi
build="$(cd "$build_arg" && pwd)"

work="$(mktemp -d /tmp/brio-demo.XXXXXX)"
export BRIO_VTOKEN_SOCKET="$work/socket"
vtoken="$build/vtoken/brio-vtoken"
"$vtoken" serve --socket "$BRIO_VTOKEN_SOCKET" --state "$work/state" >"$work/daemon.log" 2>&1 &
daemon=$!
stop() {
  kill "$daemon" 2>/dev/null
  wait "$daemon" 2>/dev/null
  rm -rf "$work"
}
trap stop EXIT

for _ in $(seq 1 100); do
  "$vtoken" list >/dev/null 2>&1 && break
  sleep 0.1
done
# Bus 30 keeps the demo's token apart from the test suites' tokens.
"$vtoken" init --serial DEMO00000001 --bus 30 --address 5 --user-pin "$factory_pin" >/dev/null || exit 1

export LD_LIBRARY_PATH="$build/vtoken/usb${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
echo "== Provisioning the virtual token"
if ! "$build/demo/brio-demo-provision" --ca-out "$work/demo-ca.pem" "$factory_pin" "$user_pin"; then
  echo "demo: provisioning the virtual token failed"
  exit 1
fi

echo "== skftest --password ****"
# The token is already plugged in: one key press skips the wait for a token
# to arrive, and skftest takes it from the device list.
printf '\n' | "$build/skftest/skftest" --password "$user_pin" | tr -d '\r' | tee "$work/skftest.out"

passed=$(grep -o 'Passed' "$work/skftest.out" | wc -l)
failed=$(grep -o 'Failed(errcode' "$work/skftest.out" | wc -l)
echo "skftest: $passed steps passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
