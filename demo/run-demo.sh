#!/usr/bin/env bash
# The main job: start a virtual token in a fresh state directory, provision
# it as an issued token (user PIN changed from the factory one, an SM2 and an
# RSA container with key pairs and certificates), run skftest's fixed
# sequence against it, stop the token, and say how many steps passed.
#   demo/run-demo.sh [BUILD_DIR]
set -uo pipefail
build="$(cd "${1:-build}" && pwd)"
factory_pin=12345678
user_pin=Demo2026pin

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
if ! "$build/demo/brio-demo-provision" "$factory_pin" "$user_pin"; then
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
