#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is
# missing.  Run as root (or with sudo available) on Debian 12.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config gettext
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl
  libusb-1.0-0-dev
  libdbus-1-dev dbus dbus-x11
  libgtk2.0-dev libx11-dev libgdk-pixbuf2.0-bin
  xvfb openbox xdotool x11-utils imagemagick
  clang libclang-rt-14-dev
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: every needed package is installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "install-deps: installing missing packages: ${missing[*]}"
echo "install-deps: running apt-get update"
$SUDO apt-get update
echo "install-deps: running apt-get install -y ${missing[*]}"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
echo "install-deps: done"
