#!/bin/bash
# The pen on a real Wayland compositor in the kernel lab: sway (wlroots) with
# its headless and libinput backends, the pixman renderer, seatd, two outputs
# side by side (HEADLESS-1 1280x800 at 0,0, HEADLESS-2 1024x768 at 1280,0)
# and XWayland, which is where inkpointer reads the monitor layout from (the
# tray writes the user's choice of monitor, inkpointer reads it with RandR).
# inkwaylog covers both outputs with fullscreen windows and logs where the
# pen's events land, in layout coordinates.
#
# Sourced at the end of kernel-lab-tests.sh (its ok, bad, wait_for, $build,
# $src, $work): taps, a drag and the three-tap right click on each monitor
# choice, with a client that speaks the tablet protocol and one that does
# not, and the device read back through libinput.
#
# Run on its own in the lab, --test runs these cases alone, and --measure
# measures inkpointer's device classes against the same checks and prints a
# table:
#   tools/kernel-lab.sh run "tools/lib/kernel-lab-wayland.sh --measure [CLASS...]"
# CLASS: pointer, pen, tablet (inkpointer --device CLASS), tablet-quirk (the
# tablet class with a libinput quirks file that turns smoothing off), default
# (no --device); with none: pointer, pen, tablet, tablet-quirk.

# --- on its own: the lab's helpers, udevd and the programs.
wl_measure=
wl_alone=
if ! declare -F ok >/dev/null; then
    case ${1:-} in
        --measure)
            shift
            wl_measure=${*:-pointer pen tablet tablet-quirk}
            ;;
        --test) wl_alone=1 ;;
        *)
            echo "usage: $0 --test | --measure [pointer|pen|tablet|tablet-quirk...]" >&2
            exit 2
            ;;
    esac
    src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    build=${INK_LAB_BUILD:-$src/build/lab}
    work=/tmp/lab
    mkdir -p "$work"
    passed=0
    failed=0
    ok() {
        [ -n "$wl_alone" ] && echo "PASS: $1"
        passed=$((passed + 1))
    }
    bad() {
        [ -n "$wl_alone" ] && echo "FAIL: $1"
        failed=$((failed + 1))
    }
    wait_for() {
        local deadline=$((SECONDS + $1))
        shift
        while ! "$@" 2>/dev/null; do
            [ $SECONDS -lt $deadline ] || return 1
            sleep 0.1
        done
    }
    install -m 755 "$build/bin/inkpointer" /usr/bin/
    /lib/systemd/systemd-udevd --daemon --resolve-names=never 2>"$work/udevd.log"
    udevadm trigger --action=add >/dev/null 2>&1
    udevadm settle -t 10
fi

wl=$work/wayland
mkdir -p "$wl"
wl_start=$SECONDS
wl_user=inklab
wl_sway_pid=
wl_seatd_pid=
wl_client_pid=
wl_pointer_pid=
wl_fifo_open=

# check NAME STATUS DETAIL: a case's verdict (0: pass), with what landed.
check() {
    echo "${wl_class:-default}|$1|$([ "$2" -eq 0 ] && echo pass || echo FAIL)|$3" >>"$wl/table"
    if [ "$2" -eq 0 ]; then
        ok "wayland [${wl_class:-default}] $1: $3"
    else
        bad "wayland [${wl_class:-default}] $1: $3"
    fi
}

# --- sway, as a user of its own (it refuses to run as root), on a seat that
# seatd gives it.
wl_start_sway() {
    id -u "$wl_user" >/dev/null 2>&1 || useradd -M -d /nonexistent -s /bin/sh "$wl_user" || return 1
    local uid
    uid=$(id -u "$wl_user")
    export XDG_RUNTIME_DIR=/run/user/$uid
    rm -rf "$XDG_RUNTIME_DIR" /run/seatd.sock
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    chown "$wl_user:" "$XDG_RUNTIME_DIR"
    seatd -u "$wl_user" -g "$wl_user" -l info >"$wl/seatd.log" 2>&1 &
    wl_seatd_pid=$!
    wait_for 20 test -S /run/seatd.sock || return 1
    # The user at the seat gets /dev/uinput, as the package's udev rule does
    # through logind (which does not run here), and the pointer pipe.
    chgrp "$wl_user" /dev/uinput && chmod 660 /dev/uinput || return 1
    [ -p /sbin/fmousefifo ] || { rm -f /sbin/fmousefifo && mkfifo /sbin/fmousefifo; }
    chmod 666 /sbin/fmousefifo
    # No bar, no borders, no gaps: a fullscreen window is its output. The
    # second output is made where the headless backend starts with one.
    cat >"$wl/sway.cfg" <<'EOF'
output HEADLESS-1 mode 1280x800 position 0 0
output HEADLESS-2 mode 1024x768 position 1280 0
default_border none
default_floating_border none
gaps inner 0
gaps outer 0
focus_follows_mouse no
xwayland enable
EOF
    chmod 644 "$wl/sway.cfg"
    setpriv --reuid "$wl_user" --regid "$wl_user" --init-groups env \
        XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" LIBSEAT_BACKEND=seatd \
        WLR_BACKENDS=headless,libinput WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=2 \
        WLR_LIBINPUT_NO_DEVICES=1 sway -c "$wl/sway.cfg" >"$wl/sway.log" 2>&1 &
    wl_sway_pid=$!
    wait_for 60 eval 'SWAYSOCK=$(echo "$XDG_RUNTIME_DIR"/sway-ipc.*.sock) timeout 10 swaymsg -t get_version >/dev/null' ||
        return 1
    export SWAYSOCK
    SWAYSOCK=$(echo "$XDG_RUNTIME_DIR"/sway-ipc.*.sock)
    if [ "$(timeout 10 swaymsg -t get_outputs | grep -c '"name": "HEADLESS-')" -lt 2 ]; then
        timeout 10 swaymsg create_output >/dev/null
        timeout 10 swaymsg output HEADLESS-2 mode 1024x768 position 1280 0 >/dev/null
    fi
    export WAYLAND_DISPLAY=wayland-1
    wait_for 10 test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" || return 1
    # XWayland's display, from sway's own environment.
    timeout 10 swaymsg exec "echo \$DISPLAY >$XDG_RUNTIME_DIR/display" >/dev/null
    wait_for 10 test -s "$XDG_RUNTIME_DIR/display" || return 1
    wl_display=$(cat "$XDG_RUNTIME_DIR/display")
}

# gone PID: ended (a child not yet waited for is a zombie, which kill -0
# still finds).
gone() {
    local st
    st=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    st=${st##*) }
    [ "${st%% *}" = Z ]
}

wl_stop() {
    local p
    [ -n "$wl_fifo_open" ] && exec 7>&-
    wl_fifo_open=
    for p in $wl_pointer_pid $wl_client_pid $wl_sway_pid $wl_seatd_pid; do
        echo "wayland: stopping $(tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | cut -c1-60)"
        kill "$p" 2>/dev/null
        wait_for 10 gone "$p" || kill -9 "$p" 2>/dev/null
        wait_for 5 gone "$p" && wait "$p" 2>/dev/null
    done
    wl_pointer_pid= wl_client_pid= wl_sway_pid= wl_seatd_pid=
}

# --- the client: fullscreen on both outputs, logging into $wl/NAME.client.
wl_client() {
    local name=$1
    shift
    [ -n "$wl_client_pid" ] && kill "$wl_client_pid" 2>/dev/null && wait "$wl_client_pid" 2>/dev/null
    wl_log=$wl/$name.client
    "$build/bin/inkwaylog" "$@" >"$wl_log" 2>&1 &
    wl_client_pid=$!
    wait_for 30 grep -q '^ready$' "$wl_log"
}

# pen_node: the event node of inkpointer's device.
pen_node() {
    local d
    for d in /sys/class/input/event*; do
        [ "$(cat "$d/device/name" 2>/dev/null)" = "Vexor Pen" ] && echo "/dev/input/${d##*/}" && return 0
    done
    return 1
}

# wl_pointer NAME CHOICE [ARGS...]: inkpointer with the monitor choice CHOICE
# (empty: none), once sway has its device; sets wl_area to the rectangle it
# took ("X Y W H") and wl_screen to the X screen's size.
wl_pointer() {
    local name=$1 choice=$2
    shift 2
    [ -n "$wl_fifo_open" ] && exec 7>&-
    wl_fifo_open=
    if [ -n "$wl_pointer_pid" ]; then
        kill "$wl_pointer_pid" 2>/dev/null
        wait "$wl_pointer_pid" 2>/dev/null
        wait_for 10 sh -c '! timeout 10 swaymsg -t get_inputs | grep -q "Vexor Pen"'
    fi
    local cfg=$wl/$name.config
    rm -rf "$cfg"
    if [ -n "$choice" ]; then
        mkdir -p "$cfg/vexor-driver"
        echo "$choice" >"$cfg/vexor-driver/screen"
    fi
    wl_plog=$wl/$name.pointer
    # As the user of the session: XWayland takes that user's connections
    # only.
    setpriv --reuid "$wl_user" --regid "$wl_user" --init-groups env XDG_CONFIG_HOME="$cfg" \
        DISPLAY="$wl_display" /usr/bin/inkpointer --backend uinput "$@" --vxd-debug \
        >"$wl_plog" 2>&1 &
    wl_pointer_pid=$!
    wait_for 60 grep -q "pointer area" "$wl_plog" &&
        wait_for 30 sh -c 'timeout 10 swaymsg -t get_inputs | grep -q "Vexor Pen"' || return 1
    # "pointer area X,Y WxH of the SWxSH screen"
    wl_area=$(sed -n 's/.*pointer area \([0-9]*\),\([0-9]*\) \([0-9]*\)x\([0-9]*\) of the \([0-9]*x[0-9]*\) .*/\1 \2 \3 \4 \5/p' \
        "$wl_plog" | tail -n 1)
    wl_screen=${wl_area##* }
    wl_area=${wl_area% *}
    exec 7>/sbin/fmousefifo
    wl_fifo_open=1
}

# rec BUTTONS X Y: one pointer record into the pipe (pointer_record.h's
# layout, written out here on purpose).
rec() {
    local b1 b2 b3
    printf -v b1 %02x $((($2 >> 8) << 4 | ($3 >> 8)))
    printf -v b2 %02x $(($2 & 255))
    printf -v b3 %02x $(($3 & 255))
    printf "\\x$1\\x$b1\\x$b2\\x$b3" >&7
}
# A tap as the daemon writes it: the press carrying the position, then the
# closing record.
tap() {
    rec f4 "$1" "$2"
    sleep 0.05
    rec f0 0 0
}

# The client log's events from line $1 on, as "KIND X Y OUTPUT" with KIND one
# of press, release, press2, release2 (the secondary button), move, in, out.
events_from() {
    tail -n +"$1" "$wl_log" | awk '
        $1 == "pointer" && $2 == "button" {
            k = ($3 == 272) ? "" : ($3 == 273 ? "2" : "?" $3)
            print $4 k, $5, $6, $7; next }
        $1 == "pointer" && ($2 == "motion" || $2 == "enter") { print "move", $3, $4, $5; next }
        $1 == "tablet" && $2 == "button" {
            k = ($3 == 273 || $3 == 331 || $3 == 332) ? "2" : "?" $3
            print $4 k, $5, $6, $7; next }
        $1 == "tablet" && $2 == "down" { print "press", $3, $4, $5; next }
        $1 == "tablet" && $2 == "up" { print "release", $3, $4, $5; next }
        $1 == "tablet" && $2 == "motion" { print "move", $3, $4, $5; next }
        $1 == "tablet" && $2 == "proximity-in" { print "in", $3, $4, $5; print "move", $3, $4, $5; next }
        $1 == "tablet" && $2 == "proximity-out" { print "out", $3, $4, $5; next }'
}
lines() { wc -l <"$wl_log"; }
has_event() { events_from "$1" | grep -q "^$2 "; }
# near "X Y" TX TY: within 1 px.
near() {
    awk -v p="$1" -v tx="$2" -v ty="$3" 'BEGIN { split(p, a, " "); dx = a[1] - tx; dy = a[2] - ty
        exit !(a[1] != "" && dx <= 1 && dx >= -1 && dy <= 1 && dy >= -1) }'
}
# first KIND EVENTS: "X Y OUTPUT" of the first such event.
first() { awk -v k="$1" '$1 == k { print $2, $3, $4; exit }' <<<"$2"; }
last() { awk -v k="$1" '$1 == k { p = $2 " " $3 " " $4 } END { print p }' <<<"$2"; }
count() { grep -c "^$1 " <<<"$2"; }

# wl_tap_case LABEL X Y: a tap at X,Y of the area (ax, ay and out_expected
# of the caller): one press there, on the expected output, and a release.
wl_tap_case() {
    local from e p r
    from=$(($(lines) + 1))
    tap "$2" "$3"
    wait_for 10 has_event "$from" release
    sleep 0.5
    e=$(events_from "$from")
    p=$(first press "$e")
    r=$(last release "$e")
    near "$p" $((ax + $2)) $((ay + $3)) && [ "${p##* }" = "$out_expected" ] &&
        [ "$(count press "$e")" -eq 1 ] && [ -n "$r" ]
    check "$1" $? "press at ${p:-none}, $(count press "$e") press(es), release at ${r:-none}"
}

# wl_cases NAME: the cases on the area inkpointer took; targets are in the
# area's pixels, expected landings in the layout's.
wl_cases() {
    local name=$1 ax ay aw ah e from p r
    read -r ax ay aw ah <<<"$wl_area"
    local presses=0 out_expected
    out_expected=$(awk -v x="$ax" '$1 == "output" && $3 == x { print $2 }' "$wl_log")

    # The first tap after the device appeared, then one after a pause of 2 s.
    wl_tap_case "$name: first tap at 400,300 of $out_expected" 400 300
    sleep 2
    wl_tap_case "$name: tap after a 2 s pause at 300,600" 300 600

    # A drag of three sparse records: the press at its start, the middle
    # point where it was written, the release at its end.
    from=$(($(lines) + 1))
    rec f4 200 200
    sleep 0.05
    rec f4 500 350
    sleep 0.05
    rec f4 800 500
    sleep 0.05
    rec f0 0 0
    wait_for 10 has_event "$from" release
    sleep 0.5
    e=$(events_from "$from")
    p=$(first press "$e")
    r=$(last release "$e")
    local mids
    mids=$(awk '$1 == "move" { print $2, $3 }' <<<"$e" | tr '\n' ';')
    near "$p" $((ax + 200)) $((ay + 200)) && near "$r" $((ax + 800)) $((ay + 500)) &&
        awk -v m="$mids" -v x=$((ax + 500)) -v y=$((ay + 350)) 'BEGIN { n = split(m, a, ";")
            for (i = 1; i <= n; i++) { split(a[i], b, " ")
                if (b[1] != "" && (b[1] - x) ^ 2 <= 1 && (b[2] - y) ^ 2 <= 1) exit 0 }
            exit 1 }' &&
        [ "$(awk '$1 == "move" && ($2 != px || $3 != py) { n++ } { px = $2; py = $3 } END { print n + 0 }' <<<"$e")" -le 3 ]
    check "$name: drag 200,200 to 800,500" $? "press at ${p:-none}, moves at ${mids:-none} release at ${r:-none}"

    # The three-tap right click: the last tap, then the right button at
    # (0, 0) and the closing record; it lands where the pen tapped.
    sleep 0.5
    from=$(($(lines) + 1))
    tap 600 400
    sleep 0.1
    rec f1 0 0
    sleep 0.05
    rec f0 0 0
    wait_for 10 has_event "$from" release2
    sleep 0.5
    e=$(events_from "$from")
    p=$(first press2 "$e")
    r=$(last release2 "$e")
    near "$p" $((ax + 600)) $((ay + 400)) && near "$r" $((ax + 600)) $((ay + 400)) &&
        [ "$(count press2 "$e")" -eq 1 ] && [ "$(count press "$e")" -eq 1 ]
    check "$name: right click after a tap at 600,400" $? "secondary press at ${p:-none} ($(count press2 "$e")x), release at ${r:-none}, primary presses $(count press "$e")"

    # Nothing invented over the whole run: four primary presses, one
    # secondary, no button the pen has not got, proximity in and out at most
    # once per closing record (five) and paired.
    e=$(events_from "$wl_from")
    local pin pout
    pin=$(count in "$e")
    pout=$(count out "$e")
    [ "$(count press "$e")" -eq 4 ] && [ "$(count press2 "$e")" -eq 1 ] &&
        ! grep -q '^[a-z]*?' <<<"$e" && [ "$pin" -le 5 ] && [ "$pin" -eq "$pout" ]
    check "$name: no invented presses or proximity changes" $? "presses $(count press "$e"), secondary $(count press2 "$e"), proximity in $pin out $pout"
}

# wl_run NAME CHOICE POINTER-ARGS: one monitor choice.
wl_run() {
    local name=$1 choice=$2 pargs=$3
    if ! wl_pointer "$name" "$choice" $pargs; then
        check "$name: inkpointer's device on sway" 1 "$(tail -n 3 "$wl_plog" | tr '\n' ' ')"
        return 1
    fi
    wl_from=$(($(lines) + 1))
    wl_cases "$name"
}

# wl_is_output AREA: AREA ("X Y W H") is the place of one of sway's two
# outputs in its layout.
wl_is_output() {
    [ "$1" = "0 0 1280 800" ] || [ "$1" = "1280 0 1024 768" ]
}

# wl_suite [POINTER-ARGS]: the default, the first and the second output,
# with a tablet client; the default with a pointer-only client. XWayland
# names its RandR monitors XWAYLAND0 and XWAYLAND1, and their order differs
# between releases (HEADLESS-1 first on Debian 12, HEADLESS-2 on 13): each
# choice must take one whole output, the two choices different ones.
wl_suite() {
    local pargs=$*
    local ok1=0 first
    if wl_client tablet; then
        wl_run default "" "$pargs"
        grep -q "pointer area .*the monitor that is not the primary" "$wl_plog" &&
            wl_is_output "$wl_area"
        check "default choice: the output that is not the primary" $? "area $wl_area of $wl_screen"
        wl_run output-1 "monitor 0" "$pargs"
        first=$wl_area
        grep -q "pointer area .*monitor 0 (.*), as chosen" "$wl_plog" && wl_is_output "$wl_area"
        check "choice monitor 0: an output's area" $? "area $wl_area"
        wl_run output-2 "monitor 1" "$pargs"
        grep -q "pointer area .*monitor 1 (.*), as chosen" "$wl_plog" && wl_is_output "$wl_area" &&
            [ "$wl_area" != "$first" ]
        check "choice monitor 1: the other output's area" $? "area $wl_area"
    else
        ok1=1
        check "the tablet client maps its windows" 1 "$(tail -n 3 "$wl/tablet.client" | tr '\n' ' ')"
    fi
    if wl_client pointer-only --no-tablet; then
        wl_run pointer-only "monitor 0" "$pargs"
    else
        check "the pointer-only client maps its windows" 1 "$(tail -n 3 "$wl/pointer-only.client" | tr '\n' ' ')"
    fi
    return $ok1
}

# --- libinput's view of the device: positions as written, no proximity
# changes of its own.
wl_libinput_case() {
    local node li_pid out x y
    node=$(pen_node) || {
        check "libinput read-back" 1 "no device"
        return
    }
    out=$wl/libinput-${wl_class:-default}.out
    libinput debug-events --device "$node" >"$out" 2>&1 &
    li_pid=$!
    wait_for 20 grep -q DEVICE_ADDED "$out"
    sleep 1
    rec f4 100 100
    sleep 0.05
    rec f4 700 500
    sleep 0.05
    rec f4 1000 700
    sleep 0.05
    rec f0 0 0
    sleep 2
    rec f4 300 400
    sleep 0.05
    rec f0 0 0
    sleep 1
    kill "$li_pid" 2>/dev/null
    wait "$li_pid" 2>/dev/null
    # Positions as libinput reports them, in layout pixels: an absolute
    # pointer's in percent of its range (the X screen), a tablet tool's in mm,
    # scaled by the first point (a stroke's first point is never smoothed).
    read -r ax ay _ _ <<<"$wl_area"
    local pts
    pts=$(grep -E 'POINTER_MOTION_ABSOLUTE|TABLET_TOOL_(AXIS|PROXIMITY|TIP)' "$out" |
        sed -e 's/([^)]*)//g' -e 's/\*//g' -e 's|/ *|/|g' |
        awk -v sw="${wl_screen%x*}" -v sh="${wl_screen#*x}" -v x0=$((ax + 100)) -v y0=$((ay + 100)) '
            { for (i = 1; i <= NF; i++) if ($i ~ /^-?[0-9.]+\/-?[0-9.]+$/) { split($i, a, "/"); break }
              if (i > NF) next
              if ($2 ~ /^POINTER/) { kx = 100 / sw; ky = 100 / sh }
              else if (!kx) { kx = a[1] / x0; ky = a[2] / y0 }
              printf "%.1f %.1f;", a[1] / kx, a[2] / ky }')
    local missing=
    for p in "100 100" "700 500" "1000 700" "300 400"; do
        read -r x y <<<"$p"
        awk -v m="$pts" -v x=$((ax + x)) -v y=$((ay + y)) 'BEGIN { n = split(m, a, ";")
            for (i = 1; i <= n; i++) { split(a[i], b, " ")
                if (b[1] != "" && (b[1] - x) ^ 2 <= 1.44 && (b[2] - y) ^ 2 <= 1.44) exit 0 }
            exit 1 }' || missing="$missing $p"
    done
    [ -z "$missing" ] || {
        echo "libinput read back:"
        head -n 30 "$out"
    }
    local prox
    prox=$(grep -c PROXIMITY "$out")
    [ -z "$missing" ] && [ "$prox" -le 4 ]
    check "libinput read-back: points as written, no proximity of its own" $? \
        "not found:${missing:- none}; proximity events $prox (at most 4: two strokes in and out); points ${pts:0:200}"
}

# --- the run. Measuring, each class gets a sway of its own: libinput reads
# its quirks files when the compositor starts it.
wl_sway() {
    local t=$SECONDS
    if wl_start_sway; then
        check "sway with two headless outputs and XWayland ($((SECONDS - t)) s)" 0 \
            "$(timeout 10 swaymsg -t get_outputs | grep -c '"name": "HEADLESS-') outputs, DISPLAY $wl_display"
    else
        check "sway with two headless outputs and XWayland" 1 "$(tail -n 5 "$wl/sway.log" | tr '\n' ' ')"
        return 1
    fi
}
if [ -z "$wl_measure" ]; then
    wl_class=
    if wl_sway; then
        wl_suite
        wl_libinput_case
    fi
    wl_stop
else
    for wl_class in $wl_measure; do
        rm -f /etc/libinput/local-overrides.quirks
        dev=$wl_class
        if [ "$wl_class" = tablet-quirk ]; then
            dev=tablet
            mkdir -p /etc/libinput
            printf '[Vexor Pen]\nMatchName=Vexor Pen\nAttrTabletSmoothing=0\n' \
                >/etc/libinput/local-overrides.quirks
        fi
        if wl_sway; then
            if [ "$dev" = default ]; then
                wl_suite
            else
                wl_suite --device "$dev"
            fi
            wl_libinput_case
        fi
        wl_stop
        cp "$wl/sway.log" "$wl/sway-$wl_class.log"
    done
    rm -f /etc/libinput/local-overrides.quirks
fi
echo "wayland: $((SECONDS - wl_start)) s"
if [ -n "$wl_alone" ]; then
    echo "$passed passed, $failed failed"
    exit 0
fi
if [ -n "$wl_measure" ]; then
    echo "---- device classes against the checks (class | check | verdict | landed)"
    column -t -s '|' "$wl/table" 2>/dev/null || cat "$wl/table"
    echo "$passed passed, $failed failed"
    mkdir -p /run/lab-io/logs 2>/dev/null && cp -a "$wl" /run/lab-io/logs/ 2>/dev/null
    exit 0
fi
