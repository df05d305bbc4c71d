#!/usr/bin/env bash
# Installs the Debian packages a job of the suite needs, on Debian 12 or 13.
# Uses sudo when not run as root; installs nothing when everything is present
# already. Every name below exists on both releases (the clang runtime, for
# one, through its unversioned package).
#
#   tools/deps.sh demo     building the suite and running its demos on X
#   tools/deps.sh test     the whole test suite: the demo's packages, plus the
#                          test and benchmark libraries, the package tools,
#                          clang for the sanitizer and fuzz builds, QEMU,
#                          busybox and udev for the kernel lab, and the
#                          desktops it runs: an X server on libinput, sway,
#                          and GNOME's and KDE Plasma's compositors (mutter,
#                          gnome-shell, KWin) with Mesa's software renderer
#                          for its desktops stage, and the bus tools its
#                          cases watch the session bus with
#
# A fresh Debian 12 or 13 (debootstrap, with git added) has none of these;
# `file` among them is only of "standard" priority, and the package build
# needs it; `locales` compiles the German locale a translation test runs in;
# the tray's tests run a real panel (xfce4-panel) and notification server
# (dunst).
set -euo pipefail

DEMO=(
    build-essential cmake pkg-config
    libgtk2.0-dev libglib2.0-dev-bin libdbusmenu-glib-dev gettext
    libfuse3-dev fuse3
    libxtst-dev libxrandr-dev libxinerama-dev libevdev-dev
    xvfb xserver-xephyr imagemagick
)
TEST=(
    "${DEMO[@]}"
    libgtest-dev libgmock-dev libbenchmark-dev
    file dpkg-dev debhelper lintian desktop-file-utils
    clang libclang-rt-dev
    dbus locales
    xfce4-panel dunst
    qemu-system-x86 busybox-static udev kmod libinput-tools
    sway seatd xwayland libwayland-dev libwayland-bin wayland-protocols
    xserver-xorg-core xserver-xorg-video-dummy xserver-xorg-input-libinput xinput libxi-dev
    mutter gnome-shell gjs kwin-wayland libgl1-mesa-dri dbus-bin libglib2.0-bin
)

case ${1:-} in
    demo) PACKAGES=("${DEMO[@]}") ;;
    test) PACKAGES=("${TEST[@]}") ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac

if [ -r /etc/os-release ]; then
    . /etc/os-release
    case "${ID:-}:${VERSION_ID:-}" in
        debian:12 | debian:13) ;;
        *) echo "deps.sh: made for Debian 12 and 13; trying on ${PRETTY_NAME:-this system}" >&2 ;;
    esac
fi

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
