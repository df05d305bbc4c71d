# The kernel lab's cases for /dev/uinput and for an X session on libinput.
# Sourced by kernel-lab-tests.sh in the guest, after its own cases, with its
# helpers (ok, bad, wait_for), $build, $src and $work; the real udevd runs.
#
# - The boot made /dev/uinput as a static node before anything loaded the
#   module, and opening that node loads it (the kernel asks modprobe for
#   char-major-10-223).
# - inkpointer explains the kernel's refusals: a node without its module
#   (ENODEV) and a user without access (EACCES).
# - The package's udev rule tags the node uaccess under the real udevd (the
#   ACL itself is logind's work for the user at the seat: no logind here).
# - Xorg on the dummy video driver with input by udev hotplug: the X
#   server's libinput driver takes inkpointer's device, inkpointer in `auto`
#   takes uinput, and every tap and right click arrives once, from the pen's
#   device only, where it was written.

x11=$work/x11
mkdir -p "$x11"
x11_part_start=$SECONDS

# --- the static node on a fresh boot, and the module loaded on demand.
boot_state=$(cat /run/lab-boot-uinput.txt 2>/dev/null)
if echo "$boot_state" | grep -q '^c.* 10, *223 .*/dev/uinput$' &&
    echo "$boot_state" | grep -qx "uinput not loaded"; then
    ok "static node: /dev/uinput (10:223) made at boot from kmod static-nodes, uinput not loaded"
else
    bad "static node: /dev/uinput made at boot from kmod static-nodes, uinput not loaded"
    echo "$boot_state"
    cat /run/tmpfiles.d/static-nodes.conf 2>/dev/null
fi
# The cases before loaded it by opening the node; it goes, the node stays.
modprobe -r uinput 2>"$x11/modprobe.err"
# inkpointer on the node when the module cannot be loaded (the kernel's
# modprobe made to fail): the kernel says ENODEV, inkpointer says what to do.
modprobe_path=$(cat /proc/sys/kernel/modprobe)
echo /bin/false >/proc/sys/kernel/modprobe
/usr/bin/inkpointer --backend uinput --screen 640x480 >"$x11/nodriver.out" 2>&1
rc=$?
echo "$modprobe_path" >/proc/sys/kernel/modprobe
if [ "$rc" -eq 1 ] && grep -q "inkpointer: uinput: /dev/uinput has no driver (No such device).*sudo modprobe uinput" \
    "$x11/nodriver.out"; then
    ok "refusal: a node without its module, explained (ENODEV from the real kernel)"
else
    bad "refusal: a node without its module, explained (ENODEV from the real kernel)"
    cat "$x11/nodriver.out"
fi
# The next open loads it again.
if [ ! -d /sys/module/uinput ] && [ -c /dev/uinput ] &&
    { exec 3<>/dev/uinput; } 2>"$x11/open.err" && exec 3>&- && [ -d /sys/module/uinput ]; then
    ok "static node: opening /dev/uinput loads the uinput module on demand"
else
    bad "static node: opening /dev/uinput loads the uinput module on demand"
    cat "$x11/modprobe.err" "$x11/open.err"
    ls -l /dev/uinput /sys/module/uinput 2>&1
fi

# --- the uaccess tag of the package's rule, on the node and on the static
# node (static_node=uinput: udevd links it under static_node-tags at start).
udevadm settle -t 10
udevadm info /dev/uinput >"$x11/udevadm-info.txt" 2>&1
# Whether a rule of udev's own names the node too (none did on Debian 12):
# said, not required.
echo "udev's own rules naming uinput: $(grep -l uinput /lib/udev/rules.d/*.rules 2>/dev/null | tr '\n' ' ')"
if grep -q '^E: TAGS=.*:uaccess:' "$x11/udevadm-info.txt" &&
    [ -L /run/udev/static_node-tags/uaccess/uinput ]; then
    ok "udev: /dev/uinput carries the uaccess tag of the package's rule (static node too)"
else
    bad "udev: /dev/uinput carries the uaccess tag of the package's rule (static node too)"
    cat "$x11/udevadm-info.txt"
    ls -lR /run/udev/static_node-tags 2>&1
fi

# A user who is not given the node (nobody: no seat, no ACL, not root's).
setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/inkpointer --backend uinput \
    --screen 640x480 >"$x11/noaccess.out" 2>&1
rc=$?
if [ "$rc" -eq 1 ] && grep -q "inkpointer: uinput: no permission to open /dev/uinput" "$x11/noaccess.out" &&
    grep -q "inkpointer: uinput: a user not at a seat" "$x11/noaccess.out"; then
    ok "refusal: a user without access to the node, explained (EACCES from the real kernel)"
else
    bad "refusal: a user without access to the node, explained (EACCES from the real kernel)"
    cat "$x11/noaccess.out"
fi

# --- X11: Xorg with the dummy driver and input by udev hotplug.
cat >"$x11/xorg.conf" <<'EOF'
Section "ServerFlags"
    Option "AutoAddDevices" "true"
    Option "AutoEnableDevices" "true"
    Option "DontVTSwitch" "true"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 16384
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0 - 1000.0
    VertRefresh 5.0 - 200.0
    Modeline "1600x900" 118.25 1600 1696 1856 2112 900 903 908 934 -hsync +vsync
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1600x900"
        Virtual 1600 900
    EndSubSection
EndSection
EOF
# The first display number free in this machine.
xnum=0
while [ -e "/tmp/.X11-unix/X$xnum" ] || [ -e "/tmp/.X$xnum-lock" ]; do xnum=$((xnum + 1)); done
export DISPLAY=:$xnum
Xorg "$DISPLAY" -config "$x11/xorg.conf" -logfile "$x11/Xorg.log" -nolisten tcp \
    -novtswitch -sharevts >"$x11/Xorg.out" 2>&1 &
xorg_pid=$!
pointer_pid=
xi2_pid=
x11_stop() {
    local p
    for p in $xi2_pid $pointer_pid $xorg_pid; do
        kill "$p" 2>/dev/null
        wait_for 10 sh -c "! kill -0 $p"
        kill -9 "$p" 2>/dev/null
    done
    wait 2>/dev/null
}
if ! wait_for 60 xinput list >/dev/null; then
    bad "X11: Xorg (dummy video, udev input) starts"
    tail -n 30 "$x11/Xorg.log" "$x11/Xorg.out"
    x11_stop
    return 0
fi

# inkpointer in `auto`, the screen's size from the display.
rm -f /sbin/fmousefifo
/usr/bin/inkpointer --vxd-debug >"$x11/inkpointer.out" 2>&1 &
pointer_pid=$!
pen_id() {
    xinput list --id-only "Vexor Pen" 2>/dev/null | grep -x '[0-9]*'
}
if wait_for 30 grep -q "reading .* through uinput" "$x11/inkpointer.out" &&
    wait_for 30 eval 'pen_id >/dev/null' &&
    grep -q "Using input driver 'libinput' for 'Vexor Pen'" "$x11/Xorg.log"; then
    ok "X11: auto takes uinput, the X server's libinput driver takes Vexor Pen (id $(pen_id))"
else
    bad "X11: auto takes uinput, the X server's libinput driver takes Vexor Pen"
    cat "$x11/inkpointer.out"
    xinput list
    grep -i "vexor\|libinput" "$x11/Xorg.log" | tail -n 20
    x11_stop
    return 0
fi
xtest_id=$(xinput list --id-only "Virtual core XTEST pointer" 2>/dev/null)
pen=$(pen_id)

# Every event the root window sees, with its source device, a line each.
stdbuf -oL xinput test-xi2 --root >"$x11/xi2.out" 2>&1 &
xi2_pid=$!
sleep 1

# rec X Y BITS: one pointer record (BITS: 4 left, 1 right).
rec() {
    printf "\\x$(printf %02x $((0xf0 | $3)))\\x$(printf %02x $((($1 >> 8) << 4 | ($2 >> 8))))"
    printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($2 & 255)))"
}
# The button events on the master pointer, as clients get them: one line
# "TYPE BUTTON X Y SOURCE" each (the root position as the server gives it,
# in fractions of a pixel).
button_events() {
    awk '/^EVENT type/ { t = $4; gsub(/[()]/, "", t); inev = (t == "ButtonPress" || t == "ButtonRelease") ; next }
         inev && /device:/ { dev = $2; src = $3; gsub(/[()]/, "", src) }
         inev && /detail:/ { b = $2 }
         inev && /root:/ { split($2, p, "/"); if (dev == 2) printf "%s %s %s %s %s\n", t, b, p[1], p[2], src; inev = 0 }' \
        "$x11/xi2.out"
}
# same_events WANT GOT: the same events in the same order, each on its
# target's pixel: the X server gives the position in fractions of a pixel,
# and the pixel is its whole part (what the core pointer and core events
# get). Prints the largest fraction.
same_events() {
    paste -d' ' "$1" "$2" | awk -v nw="$(wc -l <"$1")" -v ng="$(wc -l <"$2")" '
        { if ($8 - int($8) > m) m = $8 - int($8); if ($9 - int($9) > m) m = $9 - int($9)
          if ($1 != $6 || $2 != $7 || $5 != $10 || int($8) != $3 || int($9) != $4) bad = 1 }
        END { printf "%.2f", m; exit bad || nw != ng }'
}
# What each case expects, in order, as button_events prints it.
: >"$x11/want.txt"
x11_tap() {
    { rec "$1" "$2" 4; rec "$1" "$2" 0; rec 0 0 0; } >/sbin/fmousefifo
    printf 'ButtonPress 1 %d %d %s\nButtonRelease 1 %d %d %s\n' "$1" "$2" "$pen" "$1" "$2" "$pen" \
        >>"$x11/want.txt"
}
x11_right_click() {
    { rec 0 0 1; rec 0 0 0; } >/sbin/fmousefifo
    printf 'ButtonPress 3 %d %d %s\nButtonRelease 3 %d %d %s\n' "$1" "$2" "$pen" "$1" "$2" "$pen" \
        >>"$x11/want.txt"
}
# Until as many button events have come as were expected so far, and a
# little longer for any extra one.
x11_events_in() { [ "$(button_events | wc -l)" -ge "$(wc -l <"$x11/want.txt")" ]; }
x11_wait_events() {
    wait_for 10 x11_events_in
    sleep 0.5
}
# The first tap after the device appeared, one in the middle, the far
# corner, then a right click where the last tap was.
x11_tap 300 400
x11_wait_events
x11_tap 800 450
x11_wait_events
x11_tap 1599 899
x11_wait_events
x11_tap 1000 600
x11_wait_events
x11_right_click 1000 600
x11_wait_events
button_events >"$x11/got.txt"
if off=$(same_events "$x11/want.txt" "$x11/got.txt"); then
    ok "X11: 4 taps and a right click, each press and release once, on its pixel (+$off), from Vexor Pen"
else
    bad "X11: 4 taps and a right click, each press and release once, on its pixel, from Vexor Pen"
    echo "want:"
    cat "$x11/want.txt"
    echo "got (the pen is $pen, XTest $xtest_id):"
    cat "$x11/got.txt"
fi
# Nothing came through XTest: no event of any kind from its device.
if [ -n "$xtest_id" ] && ! grep -q "device: [0-9]* ($xtest_id)" "$x11/xi2.out"; then
    ok "X11: no event from the XTEST device (nothing sent twice)"
else
    bad "X11: no event from the XTEST device (nothing sent twice)"
    grep -B1 -A1 "($xtest_id)" "$x11/xi2.out" | head -n 20
fi
x11_stop
echo "uinput and X11 cases: $((SECONDS - x11_part_start)) s"
unset DISPLAY
