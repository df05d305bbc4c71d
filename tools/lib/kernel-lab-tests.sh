#!/bin/bash
# The kernel lab's tests, run inside the guest by `tools/kernel-lab.sh test`
# (as root, on the host's root under a throwaway overlay). $1: the lab's
# production build, whose programs are laid out here as installed.
#
# The camera unit is inksim's USB HID gadget on dummy_hcd: the real usbhid
# and hiddev drivers bind it, the real udevd names its node /dev/usb/vxd0 by
# the rule the build makes, and the real inkd and inkrelay drive it. The tray
# program is the fake one (tests of the real tray need X; they run outside).
# Ends with the line "N passed, M failed".
set -u
build=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
work=/tmp/lab
mkdir -p "$work"
passed=0
failed=0

# Each case's time, from the end of the one before.
case_start=$SECONDS
ok() {
    echo "PASS: $1 ($((SECONDS - case_start)) s)"
    passed=$((passed + 1))
    case_start=$SECONDS
}
bad() {
    echo "FAIL: $1 ($((SECONDS - case_start)) s)"
    failed=$((failed + 1))
    case_start=$SECONDS
}
# wait_for SECONDS CMD...: true once CMD succeeds, polled every 0.1 s.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    while ! "$@" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}
finish() {
    # The logs go back to the host (tools/kernel-lab.sh keeps them).
    if [ -d /run/lab-io ]; then
        mkdir -p /run/lab-io/logs
        cp -a "$work/." /run/lab-io/logs/ 2>/dev/null
        dmesg >/run/lab-io/logs/dmesg.txt
    fi
    echo "$passed passed, $failed failed"
    exit 0
}

# --- the suite's programs and data installed, the fake tray program in the
# tray's place, the
# unit's ids (the lab's test ids where the hardware file has none) in the
# hardware file and the udev rule, made as the build makes it.
install -m 755 "$build"/bin/{inkd,inkrelay,inkwake,inkpointer} /usr/bin/
install -m 755 "$build/bin/inkfaketray" /usr/bin/inktray
install -d /usr/bin/vexor-driver
install -m 644 "$src"/data/{hw.txt,refN.txt,Cam.dat} /usr/bin/vexor-driver/
sed -i -e 's/^verdorID.*/verdorID 1209/' -e 's/^productID.*/productID 0001/' \
    /usr/bin/vexor-driver/hw.txt
mkdir -p /etc/udev/rules.d
cmake -DHW=/usr/bin/vexor-driver/hw.txt -DIN="$src/data/udev/60-vexor-driver.rules.in" \
    -DOUT=/etc/udev/rules.d/60-vexor-driver.rules -P "$src/packaging/udev_rule.cmake"
inksim=$build/bin/inksim
mkdir -p /sbin
rm -f /sbin/fmousefifo
mkfifo /sbin/fmousefifo

if /lib/systemd/systemd-udevd --daemon --resolve-names=never 2>"$work/udevd.log"; then
    udevadm trigger --action=add >/dev/null 2>&1
    udevadm settle -t 10
else
    bad "udevd starts"
    finish
fi

# Pointer records from the pipe, into $1. The reader holds the pipe open for
# writing as well, so it never sees an end across the daemon's reopenings.
pipe_pid=
start_pipe() {
    cat <>/sbin/fmousefifo >"$1" &
    pipe_pid=$!
}
stop_pipe() {
    kill "$pipe_pid" 2>/dev/null
    wait "$pipe_pid" 2>/dev/null
}

# run_session NAME UNIT-ARGS...: the unit, the pipe's reader and the daemon
# with the fake tray; leaves unit_pid, inkd_pid and the tray's log in
# $work/NAME.tray.
unit_pid=
inkd_pid=
start_session() {
    local name=$1
    shift
    rm -f /tmp/.inkd.pid
    start_pipe "$work/$name.rec"
    "$inksim" "$@" >"$work/$name.unit" 2>&1 &
    unit_pid=$!
    INKFAKETRAY_LOG=$work/$name.tray /usr/bin/inkd --vxd-debug >"$work/$name.inkd" 2>&1 &
    inkd_pid=$!
}
stop_session() {
    kill "$inkd_pid" 2>/dev/null
    wait_for 10 sh -c "! kill -0 $inkd_pid"
    kill -9 "$inkd_pid" 2>/dev/null
    kill "$unit_pid" 2>/dev/null
    wait_for 10 sh -c "! kill -0 $unit_pid"
    kill -9 "$unit_pid" 2>/dev/null
    busybox killall -q inkrelay inktray
    stop_pipe
    wait 2>/dev/null
}
# tray_count NAME HEX: how many times the daemon sent HEX to the tray.
tray_count() {
    grep -c "^D $2" "$work/$1.tray" 2>/dev/null
}
connected() { [ "$(tray_count "$1" 88)" -ge "$2" ]; }
show() {
    echo "---- $1"
    tail -n 30 "$work/$1.unit" "$work/$1.inkd" 2>/dev/null
    dmesg | tail -n 15
}

scenarios=$src/testing/scenarios

# --- bring-up and a pen session on the real hiddev node.
# The scenario's timeline runs on the frames the unit streams, bring-up
# included; a bring-up started over under a loaded emulator takes more of
# them than its lead-in allows. A longer lead-in of empty frames absorbs that
# and changes no pointer record.
{ echo "pause 2400"; cat "$scenarios/stroke_tap_rightclick.txt"; } >"$work/pen.txt"
start_session gadget --gadget --scenario "$work/pen.txt" --exit-when-done
if wait_for 60 test -c /dev/usb/vxd0 && readlink -f /dev/usb/vxd0 | grep -q hiddev; then
    ok "the gadget's hiddev node is /dev/usb/vxd0, named by the built rule"
else
    bad "the gadget's hiddev node is /dev/usb/vxd0, named by the built rule"
    ls -l /dev/usb
    show gadget
fi
# A bring-up on a loaded emulator may be started over (docs/TESTING.md).
if wait_for 180 connected gadget 1; then
    ok "bring-up over the real hiddev node"
else
    bad "bring-up over the real hiddev node"
    show gadget
fi
wait_for 120 sh -c "! kill -0 $unit_pid"
sleep 1
stop_session

# The records the suite writes for this scenario on the FUSE node, as the
# replay tests hold them.
ref=$src/tests/replay/data/pen_session.pointer
# A connection's end posts a release at 0,0: at the end of the scenario, and
# for a bring-up started over (its first reports lost while the relay opened
# the node, as the kernel does) before the first frame. Leading and trailing
# releases are left out on both sides.
pen_records() {
    awk '{ r[NR] = $0 } END { a = 1; b = NR
        while (a <= b && r[a] == " f0 00 00 00") a++
        while (b >= a && r[b] == " f0 00 00 00") b--
        for (i = a; i <= b; i++) print r[i] }' | busybox xxd -r -p
}
grep -v '^#' "$ref" | sed 's/^/ /' | pen_records >"$work/fuse.rec"
od -An -v -tx1 -w4 "$work/gadget.rec" | pen_records >"$work/gadget.pen"
if [ -s "$work/gadget.pen" ] && cmp -s "$work/fuse.rec" "$work/gadget.pen"; then
    ok "pen session: the pointer records equal the FUSE run's ($(stat -c %s "$work/fuse.rec") bytes)"
else
    bad "pen session: the pointer records equal the FUSE run's"
    echo "fuse:   $(od -An -tx1 "$work/fuse.rec" | head -c 300)"
    echo "gadget: $(od -An -tx1 "$work/gadget.rec" | head -c 300)"
    show gadget
fi

# --- unplug while drawing (UDC unbound), then replug: the relay ends, the
# daemon goes back to waiting and brings the unit up again.
wait_for 10 sh -c '! test -e /dev/usb/vxd0'
start_session unplug --gadget --scenario "$scenarios/unplug_while_drawing.txt"
if wait_for 180 connected unplug 2 && [ -s "$work/unplug.rec" ]; then
    ok "unplug while drawing, then replug: drawn before, brought up again after"
else
    bad "unplug while drawing, then replug: drawn before, brought up again after"
    show unplug
fi
stop_session

# --- a unit that takes no output reports for 12 s from the start: the
# relay gives up on a report the unit does not take and says so, the
# daemon starts over, and once the unit takes reports again it comes up.
wait_for 10 sh -c '! test -e /dev/usb/vxd0'
printf 'deaf 12000\npause 20000\n' >"$work/deaf.txt"
start_session deaf --gadget --scenario "$work/deaf.txt"
if wait_for 60 grep -q "HID Write report stalled" "$work/deaf.inkd"; then
    ok "output stall: the relay reports the stalled unit and ends"
else
    bad "output stall: the relay reports the stalled unit and ends"
    show deaf
fi
if wait_for 180 connected deaf 1; then
    ok "output stall: the unit comes up once it takes reports again"
else
    bad "output stall: the unit comes up once it takes reports again"
    show deaf
fi
stop_session

# --- a calibration on the real node: inkmemdrive's user touches every
# target; the unit must have got the new record ('v') once and the
# background block ('g') again, and the pen works before and after.
wait_for 10 sh -c '! test -e /dev/usb/vxd0'
mkdir -p "$work/calib"
rm -f /tmp/.inkd.pid
if INKFAKETRAY_LOG=$work/calib/tray.log INKFAKETRAY_EVENT=$work/calib/event \
    timeout -k 5 300 "$build/bin/inkmemdrive" --gadget --log "$work/calib" --wait 150 \
    -- /usr/bin/inkd --vxd-debug >"$work/calib.out" 2>&1 &&
    grep -q "record stored" "$work/calib.out"; then
    ok "calibration: the record and the background block stored in the unit ($(grep -o \
        'stored at attempt [0-9]* of [0-9]*' "$work/calib.out"))"
    # A calibration the daemon ended, or a pen session during which it lost
    # the unit (a late answer or a silent unit under the emulator), which the
    # user began again, is shown with where the unit's commands stopped.
    grep -A1 "the daemon ended calibration\|the daemon lost the unit" "$work/calib.out" || true
else
    bad "calibration: the record and the background block stored in the unit"
    # The driver's timeline, the tray's states and the daemon's own account
    # of its states and errors (its record dumps cut short).
    cut -c1-160 "$work/calib.out"
    tail -n 12 "$work/calib/inkd.out" | cut -c1-160
fi
busybox killall -q inkrelay inktray

# --- uinput: inkpointer's pen device appears, and the records written to
# the pointer pipe arrive as its events, read back through libinput.
rm -f /sbin/fmousefifo
/usr/bin/inkpointer --backend uinput --screen 1024x768 >"$work/pointer.out" 2>&1 &
pointer_pid=$!
pen_event() {
    local d
    for d in /sys/class/input/event*; do
        [ "$(cat "$d/device/name" 2>/dev/null)" = "Vexor Pen" ] && echo "/dev/input/${d##*/}" && return 0
    done
    return 1
}
if wait_for 20 pen_event && wait_for 10 test -c "$(pen_event)"; then
    ok "uinput: inkpointer's device appears ($(pen_event))"
    libinput debug-events --device "$(pen_event)" >"$work/libinput.out" 2>&1 &
    li_pid=$!
    wait_for 20 grep -q "DEVICE_ADDED" "$work/libinput.out"
    sleep 1
    # A stroke from the pen session's records, into the pipe.
    grep -v '^#' "$ref" | head -n 20 | busybox xxd -r -p >/sbin/fmousefifo
    if wait_for 20 grep -q "TABLET_TOOL_AXIS\|POINTER_MOTION_ABSOLUTE" "$work/libinput.out"; then
        ok "uinput: the pen's events arrive through libinput"
    else
        bad "uinput: the pen's events arrive through libinput"
        cat "$work/libinput.out" "$work/pointer.out"
    fi
    kill "$li_pid" 2>/dev/null
else
    bad "uinput: inkpointer's device appears"
    cat "$work/pointer.out"
fi
kill "$pointer_pid" 2>/dev/null
wait 2>/dev/null

# The desktops on the real kernel: an X server on libinput, and a Wayland
# compositor with two outputs. Each file runs its cases with ok/bad above.
for part in kernel-lab-x11.sh kernel-lab-wayland.sh; do
    if [ -f "$src/tools/lib/$part" ]; then
        case_start=$SECONDS
        . "$src/tools/lib/$part"
    fi
done

finish
