#!/usr/bin/env bash
# Builds the Debian package (debian/) from a copy of the source tree, the way
# `dpkg-buildpackage -b -us -uc` does it in a checkout, and checks that it
# holds the suite at its paths with the right modes, maintainer scripts and
# runtime dependencies, that its programs are stripped into a dbgsym package,
# and that lintian finds no error or warning.
# The source tree itself is never written to: the copy lives in WORK_DIR.
# usage: check_package.sh SOURCE_DIR WORK_DIR
# Exit status 77 (skipped) without dpkg-buildpackage or lintian.
set -uo pipefail
src=$(cd "$1" && pwd -P)
work=$2
fail=0
bad() { echo "FAIL: $*"; fail=$((fail + 1)); }

for tool in dpkg-buildpackage lintian; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: no $tool (tools/deps.sh test installs it)"
        exit 77
    fi
done

# The copy: what git tracks plus untracked files that are not ignored, as
# they are in the working tree (so build directories stay out); outside a
# git checkout, everything but build directories.
rm -rf "$work" && mkdir -p "$work/vexor-driver"
tree=$work/vexor-driver
if [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
        tar --null --verbatim-files-from --ignore-failed-read -T - -cf - 2>/dev/null) |
        tar -x -C "$tree" || { echo "FAIL: copying the source tree"; exit 1; }
else
    tar -C "$src" --exclude='./build*' --exclude=./.git --exclude='./obj-*' -cf - . |
        tar -x -C "$tree" || { echo "FAIL: copying the source tree"; exit 1; }
fi

# What differs between the releases: where debhelper puts the udev rule (Debian
# 13 installs below /usr only) and the name of the GTK 2 library package (the
# 64-bit time_t transition renamed it).
release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_ID:-}")
case $release in
    12) udevdir=/lib/udev gtk2=libgtk2.0-0 ;;
    *) udevdir=/usr/lib/udev gtk2=libgtk2.0-0t64 ;;
esac

start=$(date +%s)
if ! (cd "$tree" && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -b -us -uc) \
    >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log"
    echo "FAIL: dpkg-buildpackage (log: $work/build.log)"
    exit 1
fi
echo "dpkg-buildpackage: $(($(date +%s) - start)) s"

arch=$(dpkg --print-architecture)
debs=("$work"/vexor-driver_*_"$arch".deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one vexor-driver .deb in $work"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Package)" = "vexor-driver" ] || bad "Package is not vexor-driver"
[ "$(dpkg-deb -f "$deb" Section)" = "x11" ] || bad "Section is not x11"

# Every file and link of the package; nothing more, nothing less.
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sed 's|^\./|/|' | sort)
expected=$(sort <<LIST
/etc/xdg/autostart/inkpointer.desktop
$udevdir/rules.d/60-vexor-driver.rules
/usr/bin/inkctl
/usr/bin/inkd
/usr/bin/inkpointer
/usr/bin/inkrelay
/usr/bin/inksetup
/usr/bin/inktray
/usr/bin/inkwake
/usr/bin/vexor-driver/Cam.dat
/usr/bin/vexor-driver/hw.txt
/usr/bin/vexor-driver/refN.txt
/usr/share/applications/vexor-driver-calibrate-advanced.desktop
/usr/share/applications/vexor-driver-calibrate.desktop
/usr/share/autostart/vxd_false.desktop
/usr/share/autostart/vxd_true.desktop
/usr/share/doc/vexor-driver/changelog.gz
/usr/share/doc/vexor-driver/copyright
/usr/share/lintian/overrides/vexor-driver
/usr/share/locale/de/LC_MESSAGES/inkd.mo
/usr/share/locale/de/LC_MESSAGES/inksetup.mo
/usr/share/man/man1/inkctl.1.gz
/usr/share/man/man1/inkd.1.gz
/usr/share/man/man1/inkpointer.1.gz
/usr/share/man/man1/inkrelay.1.gz
/usr/share/man/man1/inksetup.1.gz
/usr/share/man/man1/inktray.1.gz
/usr/share/man/man1/inkwake.1.gz
/usr/share/metainfo/invalid.vexor_driver.vexor_driver.metainfo.xml
/usr/share/pixmaps/vexor-driver.png
LIST
)
if [ "$files" != "$expected" ]; then
    bad "file list differs (< expected, > in the package):"
    diff <(echo "$expected") <(echo "$files") | grep '^[<>]'
fi

# Test tools and tests stay out of the package.
if grep -E '/(inksim|inkfaketray|inkpointerlog|inkfulldemo|[a-z_]*_(test|bench))$' <<<"$files"; then
    bad "test programs in the package"
fi

# Modes and owners: programs 0755, everything else 0644, all root's.
while read -r mode owner _ _ _ path; do
    case $mode in d*) continue ;; esac
    path=${path#.}
    want=-rw-r--r--
    case $path in /usr/bin/ink*) want=-rwxr-xr-x ;; esac
    [ "$mode" = "$want" ] || bad "$path has mode $mode, not $want"
    [ "$owner" = "root/root" ] || bad "$path belongs to $owner"
done <<<"$listing"

# The programs are stripped; their debugging symbols are in the dbgsym package.
dpkg-deb -x "$deb" "$work/root"
for p in inkd inkrelay inktray inkwake inksetup inkpointer inkctl; do
    info=$(file -b "$work/root/usr/bin/$p")
    grep -q 'ELF 64-bit' <<<"$info" || bad "/usr/bin/$p is no ELF program: $info"
    grep -q ', stripped' <<<"$info" || bad "/usr/bin/$p is not stripped: $info"
done
dbgsym=("$work"/vexor-driver-dbgsym_*_"$arch".*deb)
if [ -f "${dbgsym[0]}" ]; then
    ndebug=$(dpkg-deb -c "${dbgsym[0]}" | grep -c '/usr/lib/debug/.build-id/.*\.debug$')
    [ "$ndebug" = 7 ] || bad "dbgsym package holds $ndebug debug files, not 7"
else
    bad "no vexor-driver-dbgsym package"
fi

# The manual pages are compressed and format without a warning.
for page in "$work"/root/usr/share/man/man1/*.1.gz; do
    command -v groff >/dev/null || break
    warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
    [ -z "$warnings" ] || bad "$(basename "$page"): $warnings"
done

# The rule is the one the build made from data/hw.txt.
cmp -s "$work/root$udevdir/rules.d/60-vexor-driver.rules" \
    "$tree/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)/packaging/60-vexor-driver.rules" ||
    bad "the packaged udev rule is not the built one"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 $gtk2 libdbusmenu-glib4 libevdev2 libxtst6 libx11-6 libxrandr2 libxinerama1 \
    udev; do
    grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || bad "Depends lacks $lib"
done
grep -q fuse <<<"$depends" && bad "Depends names fuse (only the test unit needs it)"
# The tray serves its status notifier item itself: no indicator library.
grep -q appindicator <<<"$depends" && bad "Depends names an indicator library"
# inkwake holds its inhibition on the session bus: no screensaver package is needed.
[ -z "$(dpkg-deb -f "$deb" Recommends)" ] || bad "Recommends $(dpkg-deb -f "$deb" Recommends)"

# Maintainer scripts: the pipe made on configure and removed again, the
# autostart entry inksetup copied removed; /etc/xdg's entry a conffile.
control=$work/control
dpkg-deb -e "$deb" "$control"
[ "$(cat "$control/conffiles" 2>/dev/null)" = "/etc/xdg/autostart/inkpointer.desktop" ] ||
    bad "conffiles is not /etc/xdg/autostart/inkpointer.desktop"
for s in postinst postrm; do
    [ -x "$control/$s" ] || { bad "no executable $s script"; continue; }
    sh -n "$control/$s" || bad "$s does not parse"
done
grep -q 'mkfifo -m 0666 /sbin/fmousefifo' "$control/postinst" || bad "postinst makes no pipe"
grep -q 'rm -f /sbin/fmousefifo' "$control/postrm" || bad "postrm leaves the pipe"
grep -q 'rm -f /usr/share/gnome/autostart/vxd.desktop' "$control/postrm" || bad "postrm leaves vxd.desktop"
for s in preinst prerm; do [ ! -e "$control/$s" ] || bad "unexpected $s script"; done

# lintian: no error, no warning; one override (the data folder in /usr/bin).
lintian_out=$(cd "$work" && lintian --fail-on error,warning -I ./*.changes 2>&1)
lintian_rc=$?
grep -v 'running with root privileges' <<<"$lintian_out"
[ $lintian_rc -eq 0 ] || bad "lintian reports errors or warnings"
overrides=$(grep -c '^[^#]' "$tree/debian/vexor-driver.lintian-overrides")
[ "$overrides" = 1 ] || bad "$overrides lintian overrides, not 1"

if [ $fail -ne 0 ]; then
    echo "$fail problem(s)"
    exit 1
fi
echo "package contents as expected"
