#!/usr/bin/env bash
# package-test.sh: the Debian package installed into a fresh Debian root.
#
#   tools/package-test.sh [--suite bookworm|trixie]      builds the package
#                          from a copy of this tree (its build dependencies:
#                          apt-get build-dep ./)
#   tools/package-test.sh [--suite bookworm|trixie] DEB  tests that .deb instead
#
# The root is Debian 12 "bookworm" or 13 "trixie", by default the release of
# this machine. Build the package on the release it is tested on: a package
# built on Debian 13 depends on that release's library names.
# In a debootstrapped root of that release (minbase, so that a missing
# dependency shows) it runs `apt-get install ./vexor-driver_*.deb`, checks the
# installed files, their modes, the pointer pipe, the udev rule and the
# conffile, starts inkd (which waits in Detect without a unit) and inkpointer
# on a private Xvfb inside the root, then `apt-get remove --purge` and checks
# that nothing of the package is left; a second install and purge must leave
# the root exactly as the first purge did. The base root is made once per
# release and kept in $INK_PKGTEST_DIR/base-SUITE (default
# /var/tmp/vexor-pkgtest), the downloaded packages in .../archives-SUITE;
# every run works on a new copy of the base.
# Needs root (debootstrap, chroot, mounts). Exit status 0 when every check passed.
set -euo pipefail
[ "$(id -u)" = 0 ] || { echo "package-test: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
case ${1:-} in
    -h | --help) sed -n '2,22p' "$0"; exit 0 ;;
    --suite) suite=${2:-}; shift 2 ;;
esac
case $suite in
    bookworm | trixie) ;;
    *) suite=bookworm ;;
esac
t0=$(date +%s)
top=$(cd "$(dirname "$0")/.." && pwd -P)
dir=${INK_PKGTEST_DIR:-/var/tmp/vexor-pkgtest}
base=$dir/base-$suite
archives=$dir/archives-$suite
mkdir -p "$archives/partial"
scratch=$(mktemp -d "$dir/run.XXXXXX")
work=$scratch/root
mounted=()

cleanup() {
    local rc=$? i p t
    set +e
    # Whatever still runs inside the root (a program under test, Xvfb) ends
    # before its mounts go.
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$work" ] && kill -KILL "${p#/proc/}" 2>/dev/null
    done
    for t in 1 2 3 4 5 6 7 8 9 10; do
        for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null; done
        grep -q " $work/" /proc/mounts || break
        sleep 0.5
    done
    if grep -q " $work/" /proc/mounts; then
        echo "package-test: $work still has mounts; left in place" >&2
    else
        rm -rf --one-file-system "$scratch"
    fi
    echo "package-test: $([ $rc = 0 ] && echo passed || echo FAILED) in $(($(date +%s) - t0)) s" >&2
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The package: given, or built from a copy of the tree (never in the tree).
if [ $# -ge 1 ]; then
    deb=$(readlink -f "$1")
    [ -f "$deb" ] || { echo "package-test: no file $1" >&2; exit 2; }
else
    src=$scratch/src/vexor-driver
    mkdir -p "$src"
    if [ "$(git -C "$top" rev-parse --show-toplevel 2>/dev/null)" = "$top" ]; then
        (cd "$top" && git ls-files -z --cached --others --exclude-standard |
            tar --null --verbatim-files-from --ignore-failed-read -T - -cf - 2>/dev/null) | tar -x -C "$src"
    else
        tar -C "$top" --exclude='./build*' --exclude=./.git --exclude='./obj-*' -cf - . | tar -x -C "$src"
    fi
    echo "package-test: building the package in $src" >&2
    (cd "$src" && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -b -us -uc) \
        >"$scratch/build.log" 2>&1 ||
        { tail -n 30 "$scratch/build.log"; echo "package-test: dpkg-buildpackage failed" >&2; exit 1; }
    deb=$(ls "$scratch"/src/vexor-driver_*_"$(dpkg --print-architecture)".deb)
    echo "package-test: built $(basename "$deb") in $(($(date +%s) - t0)) s" >&2
fi

# The Debian mirror this machine's apt uses (deb822 or one-line sources).
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
         grep -v -i security | head -n 1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $0 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
[ -n "$mirror" ] || { echo "package-test: no Debian mirror found in /etc/apt" >&2; exit 2; }
# The security mirror: this machine's, else the main mirror's sibling.
secmirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
            grep -i security | head -n 1)
[ -n "$secmirror" ] || secmirror=$(awk '$1 == "deb" && $0 ~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
[ -n "$secmirror" ] || secmirror=${mirror%/debian}/debian-security

if [ ! -f "$base/.complete" ]; then
    command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap; } >/dev/null
    rm -rf "$base"
    echo "package-test: making a Debian $suite base root in $base (once)" >&2
    script=$suite
    [ -e "/usr/share/debootstrap/scripts/$suite" ] || script=/usr/share/debootstrap/scripts/sid
    debootstrap --variant=minbase --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
        "$suite" "$base" "$mirror" "$script" >"$dir/debootstrap-$suite.log" 2>&1 ||
        { echo "package-test: debootstrap failed, see $dir/debootstrap-$suite.log" >&2; exit 2; }
    # The release's own sources, on this machine's mirrors.
    mkdir -p "$base/etc/apt/sources.list.d"
    cat >"$base/etc/apt/sources.list.d/debian.sources" <<SOURCES
Types: deb
URIs: $mirror
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $secmirror
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    : >"$base/etc/apt/sources.list"
    # This machine's apt settings (proxies, index options), but not the
    # container's cleaning of the package cache, which is kept between runs.
    for f in /etc/apt/apt.conf.d/*; do
        [ "$(basename "$f")" = docker-clean ] || dpkg -S "$f" >/dev/null 2>&1 ||
            cp "$f" "$base/etc/apt/apt.conf.d/"
    done
    # No service of an installed package starts inside the root.
    printf '#!/bin/sh\nexit 101\n' >"$base/usr/sbin/policy-rc.d"
    chmod 0755 "$base/usr/sbin/policy-rc.d"
    touch "$base/.complete"
fi

cp -a "$base/." "$work/"
cp /etc/resolv.conf "$work/etc/resolv.conf" 2>/dev/null || true
for m in proc dev dev/pts dev/shm var/cache/apt/archives; do
    mkdir -p "$work/$m"
    case $m in
        proc) mount -t proc proc "$work/proc" ;;
        dev) mount --rbind /dev "$work/dev" && mount --make-rslave "$work/dev" ;;
        dev/pts) mount -t devpts devpts "$work/dev/pts" -o newinstance,ptmxmode=0666 ;;
        dev/shm) mount -t tmpfs tmpfs "$work/dev/shm" ;;
        var/cache/apt/archives) mount --bind "$archives" "$work/var/cache/apt/archives" ;;
    esac
    mounted+=("$work/$m")
done
cp "$deb" "$work/root/"

cat >"$work/root/check.sh" <<'CHECK'
#!/bin/bash
# Runs inside the root: install, checks, purge, checks.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive
fail=0
ok() { echo "  ok: $*"; }
bad() { echo "  FAIL: $*"; fail=$((fail + 1)); }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }
mode_is() { [ "$(stat -c %a "$1" 2>/dev/null)" = "$2" ]; }
deb=$(ls /root/vexor-driver_*.deb)
# The state of the root without the package (the tree but the caches, logs,
# the package database and the scratch directories), to compare after a purge.
snapshot() {
    find / -xdev \( -path /proc -o -path /dev -o -path /tmp -o -path /root -o -path /var/cache \
        -o -path /var/log -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /run \) -prune \
        -o -printf '%p %y %m %s\n' | sort
}

echo "== apt-get install ./$(basename "$deb")"
apt-get update -q >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
apt-get install -y -q "./$(basename "$deb")" >>/tmp/apt.log 2>&1 || { tail -n 30 /tmp/apt.log; exit 1; }
check "dpkg: install ok installed" [ "$(dpkg-query -W -f='${Status}' vexor-driver)" = "install ok installed" ]
dpkg -L vexor-driver | sort >/tmp/vexor-files

echo "== installed files"
for p in inkd inkrelay inktray inkwake inksetup inkpointer inkctl; do
    check "/usr/bin/$p: a program of mode 0755" eval '[ -f /usr/bin/$p ] && [ -x /usr/bin/$p ] && mode_is /usr/bin/$p 755'
    check "/usr/share/man/man1/$p.1.gz: compressed manual page" gzip -t /usr/share/man/man1/$p.1.gz
done
for f in hw.txt refN.txt Cam.dat; do
    check "/usr/bin/vexor-driver/$f: data file of mode 0644" mode_is /usr/bin/vexor-driver/$f 644
done
check "/sbin/fmousefifo: a FIFO of mode 0666" eval '[ -p /sbin/fmousefifo ] && mode_is /sbin/fmousefifo 666'
check "udev rule in /usr/lib/udev/rules.d" [ -f /usr/lib/udev/rules.d/60-vexor-driver.rules ]
check "udev rule names /dev/usb/vxd0" grep -q 'SYMLINK+="usb/vxd0"' /usr/lib/udev/rules.d/60-vexor-driver.rules
check "conffile /etc/xdg/autostart/inkpointer.desktop registered" \
    eval 'dpkg-query -W -f="\${Conffiles}\n" vexor-driver | grep -Eq "^ /etc/xdg/autostart/inkpointer.desktop [0-9a-f]{32}$"'
check "prepared autostart entries" [ -f /usr/share/autostart/vxd_true.desktop -a -f /usr/share/autostart/vxd_false.desktop ]
check "the applications menu's calibrate entries" \
    [ -f /usr/share/applications/vexor-driver-calibrate.desktop -a -f /usr/share/applications/vexor-driver-calibrate-advanced.desktop ]
check "German catalogues" [ -f /usr/share/locale/de/LC_MESSAGES/inkd.mo -a -f /usr/share/locale/de/LC_MESSAGES/inksetup.mo ]
check "no test tools installed" eval '! ls /usr/bin/inksim /usr/bin/inkfaketray /usr/bin/inkpointerlog >/dev/null 2>&1'
check "all libraries of the programs found" eval '! ldd /usr/bin/ink* | grep -q "not found"'
# The postinst again (as dpkg-reconfigure or a re-run would): the pipe stays.
check "postinst configure twice" /var/lib/dpkg/info/vexor-driver.postinst configure 0.1.0
check "the pipe after the second configure" eval '[ -p /sbin/fmousefifo ] && mode_is /sbin/fmousefifo 666'

echo "== the programs start (on a private Xvfb inside this root)"
apt-get install -y -q --no-install-recommends xvfb >>/tmp/apt.log 2>&1 || { tail -n 30 /tmp/apt.log; exit 1; }
rm -f /tmp/xdisplay
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>/tmp/xdisplay >/tmp/xvfb.log 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s /tmp/xdisplay ] && break; sleep 0.1; done
[ -s /tmp/xdisplay ] || { cat /tmp/xvfb.log; echo "  FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n 1 /tmp/xdisplay)
# inkd forks inktray, waits for it on the command channel, then polls for
# the unit's node in Detect; without a unit it stays there.
/usr/bin/inkd --vxd-debug >/tmp/inkd.log 2>&1 &
inkd=$!
sleep 2
check "inkd still running after 2 s" kill -0 $inkd
check "inkd waits in Detect" grep -q 'MSG: Detect hw$' /tmp/inkd.log
check "inktray connected to inkd" grep -q 'alg2gui connect successful' /tmp/inkd.log
# inkctl reaches the running tray program through its private socket.
check "inkctl status: unconnected" eval '[ "$(/usr/bin/inkctl status 2>/dev/null)" = unconnected ]'
kill -TERM $inkd 2>/dev/null
for _ in $(seq 50); do kill -0 $inkd 2>/dev/null || break; sleep 0.1; done
kill -KILL $inkd 2>/dev/null
wait $inkd 2>/dev/null
[ $fail -eq 0 ] || sed 's/^/    inkd: /' /tmp/inkd.log | tail -n 20
# inkpointer on XTest: uinput would reach the host's input devices.
/usr/bin/inkpointer --backend xtest --vxd-debug >/tmp/inkpointer.log 2>&1 &
ptr=$!
sleep 1
check "inkpointer still running after 1 s" kill -0 $ptr
kill -TERM $ptr 2>/dev/null
wait $ptr
check "inkpointer ends with status 0 on SIGTERM" [ $? -eq 0 ]
[ $fail -eq 0 ] || sed 's/^/    inkpointer: /' /tmp/inkpointer.log | tail -n 20
kill $xvfb 2>/dev/null
wait $xvfb 2>/dev/null

# What inksetup does when the user chooses start at login.
mkdir -p /usr/share/gnome/autostart
cp /usr/share/autostart/vxd_true.desktop /usr/share/gnome/autostart/vxd.desktop

echo "== apt-get remove --purge vexor-driver"
apt-get remove --purge -y -q vexor-driver >>/tmp/apt.log 2>&1 || { tail -n 30 /tmp/apt.log; exit 1; }
check "dpkg -l: the package is gone" eval '! dpkg -l vexor-driver >/dev/null 2>&1'
left=$(while read -r f; do [ -d "$f" ] || [ ! -e "$f" -a ! -L "$f" ] || echo "$f"; done </tmp/vexor-files)
check "no file of the package left${left:+: $left}" [ -z "$left" ]
check "/sbin/fmousefifo removed" eval '[ ! -e /sbin/fmousefifo ]'
check "/usr/share/gnome/autostart/vxd.desktop removed" eval '[ ! -e /usr/share/gnome/autostart/vxd.desktop ]'
check "/usr/share/gnome/autostart removed (inksetup made it)" eval '[ ! -e /usr/share/gnome/autostart ]'
check "/usr/bin/vexor-driver removed" eval '[ ! -e /usr/bin/vexor-driver ]'
rmdir /usr/share/gnome 2>/dev/null

echo "== a second install and purge leave the root as the first purge did"
snapshot >/tmp/before
apt-get install -y -q "./$(basename "$deb")" >>/tmp/apt.log 2>&1 || { tail -n 30 /tmp/apt.log; exit 1; }
apt-get remove --purge -y -q vexor-driver >>/tmp/apt.log 2>&1 || { tail -n 30 /tmp/apt.log; exit 1; }
snapshot >/tmp/after
differs=$(diff /tmp/before /tmp/after | grep '^[<>]')
check "nothing changed${differs:+: $differs}" [ -z "$differs" ]

if [ $fail -ne 0 ]; then
    echo "$fail check(s) failed"
    exit 1
fi
echo "all checks passed"
CHECK
chmod 0755 "$work/root/check.sh"

echo "package-test: installing $(basename "$deb") in a fresh Debian $suite root ($work)" >&2
chroot "$work" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c 'cd /root && ./check.sh'
