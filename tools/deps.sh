#!/usr/bin/env bash
# Installs the Debian 12 packages the suite needs to build, test and run its demo.
# Uses sudo when not run as root. Skips the install when everything is present.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config git
    libgtest-dev libgmock-dev libbenchmark-dev
    libgtk2.0-dev gettext
    libfuse3-dev fuse3
    xvfb xdotool x11-utils x11-apps libxtst-dev imagemagick
    libevdev-dev
    clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
