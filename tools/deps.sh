#!/usr/bin/env bash
# Installs the Debian 12 packages a job of the suite needs. Uses sudo when not
# run as root; installs nothing when everything is present already.
#
#   tools/deps.sh demo     building the suite and running its demos on X
#   tools/deps.sh test     the whole test suite: the demo's packages, plus the
#                          test and benchmark libraries, the package tools,
#                          clang for the sanitizer and fuzz builds, QEMU,
#                          busybox and udev for the kernel lab
#
# A fresh Debian 12 (debootstrap, with git added) has none of these; `file`
# among them is only of "standard" priority, and the package build needs it.
set -euo pipefail

DEMO=(
    build-essential cmake pkg-config
    libgtk2.0-dev libayatana-appindicator-dev gettext
    libfuse3-dev fuse3
    libxtst-dev libxrandr-dev libxinerama-dev libevdev-dev
    xvfb xserver-xephyr imagemagick
)
TEST=(
    "${DEMO[@]}"
    libgtest-dev libgmock-dev libbenchmark-dev
    file dpkg-dev debhelper lintian desktop-file-utils
    clang libclang-rt-14-dev
    dbus
    qemu-system-x86 busybox-static udev libinput-tools
)

case ${1:-} in
    demo) PACKAGES=("${DEMO[@]}") ;;
    test) PACKAGES=("${TEST[@]}") ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac

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
