#!/usr/bin/env bash
# Runs skf-sharing against a virtual token of its own (provisioned by the
# demo's tool): the costs of one operation, the one PIN verification, PROCS
# processes signing for SECONDS, the device lock and an unplug.
#   bench/skf-sharing.sh [BUILD_DIR]
# PROCS (6) processes sign for SECONDS_EACH (30) seconds; MODES names the
# measures to run (all by default).  The lock measure waits for the lock's
# time-outs (about three minutes).
set -uo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build}" && pwd)" || exit 1
procs=${PROCS:-6}
seconds=${SECONDS_EACH:-30}
modes=" ${MODES:-costs login loop lock unplug} "
factory_pin=12345678
user_pin=Share2026pin
serial=SHARE0000001

work="$(mktemp -d /tmp/brio-sharing.XXXXXX)"
export BRIO_VTOKEN_SOCKET="$work/socket"
vtoken="$build/vtoken/brio-vtoken"
"$vtoken" serve --socket "$BRIO_VTOKEN_SOCKET" --state "$work/state" >"$work/daemon.log" 2>&1 &
daemon=$!
trap 'kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 100); do
  "$vtoken" list >/dev/null 2>&1 && break
  sleep 0.1
done
# Bus 32 keeps this token apart from the demo's and the tests'.
"$vtoken" init --serial "$serial" --bus 32 --address 5 --user-pin "$factory_pin" >/dev/null || exit 1
export LD_LIBRARY_PATH="$build/vtoken/usb${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
unset DISPLAY VEXA_LOG_CONF_PATH
"$build/demo/brio-demo-provision" --ca-out "$work/demo-ca.pem" "$factory_pin" "$user_pin" >"$work/provision.log" || { cat "$work/provision.log"; exit 1; }
tool="$build/bench/skf-sharing"

if [[ $modes == *" costs "* ]]; then
  echo "== costs (exchanges as the virtual token counts them)"
  "$tool" costs "$vtoken" "$serial" "$user_pin"
fi
if [[ $modes == *" login "* ]]; then
  echo "== one PIN verification"
  "$tool" login "$user_pin"
fi
if [[ $modes == *" loop "* ]]; then
  echo "== $procs processes signing for $seconds s"
  pids=()
  for _ in $(seq 1 "$procs"); do
    "$tool" loop "$user_pin" "$seconds" &
    pids+=($!)
  done
  wait "${pids[@]}"
  echo "== one process alone signing for 5 s"
  "$tool" loop "$user_pin" 5
fi
if [[ $modes == *" lock "* ]]; then
  echo "== the device lock"
  "$tool" lock "$user_pin"
fi
if [[ $modes == *" unplug "* ]]; then
  echo "== unplug"
  "$tool" unplug "$vtoken" "$serial"
fi
