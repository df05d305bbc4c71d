#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks that it holds what
# the suite needs, at the right paths, with the right runtime dependencies.
# usage: check_package.sh BUILD_DIR OUT_DIR
set -uo pipefail
build=$1
out=$2
fail=0
bad() { echo "FAIL: $*"; fail=$((fail + 1)); }

rm -rf "$out" && mkdir -p "$out"
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb in $out"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

listing=$(dpkg-deb -c "$deb")
paths=$(awk '{print $6}' <<<"$listing" | sed 's|^\./|/|')

has() { grep -qx "$1" <<<"$paths" || bad "missing $1"; }
for p in inkd inkrelay inktray inkwake inksetup inkpointer; do
    has "/usr/bin/$p"
    mode=$(awk -v f="./usr/bin/$p" '$6 == f {print $1}' <<<"$listing")
    [ "$mode" = "-rwxr-xr-x" ] || bad "/usr/bin/$p has mode '$mode'"
    has "/usr/share/man/man1/$p.1"
done
for f in hw.txt refN.txt Cam.dat; do has "/usr/bin/vexor-driver/$f"; done
has /usr/share/autostart/vxd_true.desktop
has /usr/share/autostart/vxd_false.desktop
has /etc/xdg/autostart/inkpointer.desktop
has /usr/lib/udev/rules.d/60-vexor-driver.rules
for d in inkd inksetup; do has "/usr/share/locale/de/LC_MESSAGES/$d.mo"; done

# Test tools and tests stay out of the package.
if grep -E '/(inksim|inkfaketray|inkpointerlog|[a-z_]*_test)$' <<<"$paths"; then
    bad "test programs in the package"
fi

# The manual pages format without a warning.
dpkg-deb -x "$deb" "$out/root"
for page in "$out"/root/usr/share/man/man1/*.1; do
    command -v groff >/dev/null || break
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || bad "$(basename "$page"): $warnings"
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libgtk2.0-0 libevdev2 libxtst6 libx11-6 udev; do
    grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || bad "Depends lacks $lib"
done
grep -q fuse <<<"$depends" && bad "Depends names fuse (only the test unit needs it)"

info=$(dpkg-deb -I "$deb")
for s in postinst postrm; do grep -qE "^ .* $s( |$)" <<<"$info" || bad "no $s script"; done

if [ $fail -ne 0 ]; then
    echo "$fail problem(s)"
    exit 1
fi
echo "package contents as expected"
