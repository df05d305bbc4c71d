#!/usr/bin/env bash
# The kernel lab: a QEMU machine with Debian's stock kernel, in which the
# suite meets the kernel's own hiddev, USB gadget and uinput drivers.
#
#   tools/kernel-lab.sh run [--timeout S] CMD...
#       boots the machine, runs CMD (a shell command line) in the guest, in
#       the directory it was called from, shows its output and exits with its
#       status (124 when the guest did not finish within S seconds, default
#       600; 125 when the guest never reached CMD)
#   tools/kernel-lab.sh test [CTEST-ARG...]
#       builds the suite and its lab cases in build/lab (the preset "lab")
#       and runs them in one boot (ctest -L lab, with the arguments given,
#       e.g. -R Sway); ends with ctest's count, or "0 passed, 1 failed"
#       when the guest did not get that far
#   tools/kernel-lab.sh desktops [CTEST-ARG...]
#       the desktops stage, on demand: the same build, booted with a virtual
#       GPU of two outputs (1280x800 and 1024x768) and more memory, runs the
#       cases labelled desktops (GNOME's and KDE Plasma's compositors,
#       ctest -L desktops); their logs go to build/lab/desktops-logs
#   tools/kernel-lab.sh kernel
#       fetches and prepares the kernel and the initramfs only
#
# The guest: the kernel of the host's Debian release (linux-image-amd64,
# fetched with `apt-get download`, never installed, cached under
# $INK_LAB_CACHE, default /var/tmp/ink-kernel-lab), an initramfs of
# busybox-static and the few modules the lab needs, and the host's root
# read-only over virtio-9p under a tmpfs overlay: the guest runs the host's
# programs and libraries, and whatever it writes is gone with it. KVM where
# /dev/kvm takes a machine, TCG otherwise.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
caller=$(pwd)
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$(pwd)

cache=${INK_LAB_CACHE:-/var/tmp/ink-kernel-lab}
mem=${INK_LAB_MEM:-1024}
# Two virtual CPUs: the relay's threads, the daemon and the unit run side by
# side, as on a desktop. Under TCG each is one host thread at most.
cpus=${INK_LAB_CPUS:-2}
cpu_model=max

# Modules the lab loads, their dependencies added by modprobe. uinput is
# not among them: as on a desktop, opening its static node loads it (the
# guest's modprobe reads the cache's module tree, see kernel-lab-guest.sh).
LAB_MODULES=(
    virtio_pci 9pnet_virtio 9p overlay fuse
    usbhid hid-generic dummy_hcd libcomposite usb_f_hid
    evdev
)

die() {
    echo "kernel-lab: $*" >&2
    exit 125
}

# fetch_kernel: the cache's vmlinuz and module tree for the host's release.
# Sets kdir (the extracted package) and kver.
fetch_kernel() {
    local codename meta pkg
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-unknown}")
    kdir=$cache/$codename
    if [ -f "$kdir/ready" ]; then
        kver=$(cat "$kdir/ready")
        return
    fi
    command -v apt-get >/dev/null || die "apt-get is needed to fetch the kernel"
    rm -rf "$kdir"
    mkdir -p "$kdir/deb"
    (
        cd "$kdir/deb"
        # The metapackage names the release's current kernel package.
        apt-get download -q linux-image-amd64 >/dev/null 2>&1 ||
            die "apt-get download linux-image-amd64 failed (run apt-get update?)"
        meta=$(ls linux-image-amd64_*.deb)
        pkg=$(dpkg-deb -f "$meta" Depends | sed 's/[ ,(].*//')
        apt-get download -q "$pkg" >/dev/null 2>&1 || die "apt-get download $pkg failed"
        dpkg-deb -x "$(ls "$pkg"_*.deb)" "$kdir/root"
    ) || exit 125
    # Debian 13's package keeps its modules under /usr/lib.
    if [ ! -d "$kdir/root/lib/modules" ] && [ -d "$kdir/root/usr/lib/modules" ]; then
        mkdir -p "$kdir/root/lib"
        ln -s ../usr/lib/modules "$kdir/root/lib/modules"
    fi
    kver=$(ls "$kdir/root/lib/modules")
    local mods=$kdir/root/lib/modules/$kver
    # Modules compressed with xz (Debian 13) are read as they are; those
    # the lab loads are unpacked into the initramfs.
    if find "$mods" -name '*.ko.zst' -print -quit | grep -q .; then
        die "modules compressed with zstd: not handled yet"
    fi
    echo "$kver" >"$kdir/ready"
}

# build_initramfs: sets initrd, busybox and the modules with their load
# order, one per version of this script (checkouts share the cache).
build_initramfs() {
    local img
    img=$kdir/initrd-$(md5sum <"$0" | cut -c1-12).img
    initrd=$img
    if [ -f "$img" ]; then
        return
    fi
    command -v busybox >/dev/null || die "busybox (busybox-static) is needed"
    local d
    d=$(mktemp -d)
    mkdir -p "$d"/{bin,dev,proc,sys,lower,upper,newroot,lib/modules}
    cp "$(command -v busybox)" "$d/bin/busybox"
    # ldd fails on a static program.
    if ldd "$d/bin/busybox" >/dev/null 2>&1; then
        die "busybox is not static: install busybox-static"
    fi
    # Dependencies first, each module once, as modprobe resolves them in the
    # cache's module tree ("builtin" for those built into this kernel, as
    # Debian 13 has virtio_pci).
    local m what path ko seen=" "
    for m in "${LAB_MODULES[@]}"; do
        modprobe -d "$kdir/root" -S "$kver" --show-depends "$m" >"$d/deps" 2>&1 ||
            die "module $m: $(cat "$d/deps")"
        while read -r what path _; do
            ko=${path##*/}
            ko=${ko%.xz}
            [ "$what" = insmod ] || continue
            case $seen in *" $ko "*) continue ;; esac
            seen="$seen$ko "
            case $path in
                *.xz) busybox unxz -c "$path" >"$d/lib/modules/$ko" ;;
                *) cp "$path" "$d/lib/modules/$ko" ;;
            esac
            echo "$ko" >>"$d/lib/modules/order"
        done <"$d/deps"
    done
    rm "$d/deps"
    cat >"$d/init" <<'EOF'
#!/bin/busybox sh
# The lab's first stage: modules, the host's root read-only under a tmpfs
# overlay, then the guest script of the kernel lab on that root.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /lib/modules/order); do
    insmod /lib/modules/$m || echo "lab: insmod $m failed"
done
fail() { echo "lab: $*"; reboot -f; }
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /lower ||
    fail "no host root"
mount -t tmpfs -o size=75% upper /upper
mkdir -p /upper/u /upper/w
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/u,workdir=/upper/w /newroot ||
    fail "no overlay"
mount -t 9p -o trans=virtio,version=9p2000.L labio /newroot/$lab_io || fail "no io directory"
mount --move /proc /newroot/proc
mount --move /sys /newroot/sys
mount --move /dev /newroot/dev
exec switch_root /newroot /bin/bash "$lab_guest" "$lab_io"
EOF
    chmod +x "$d/init"
    local tmp
    tmp=$(mktemp "$kdir/.initrd.XXXXXX")
    (cd "$d" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$tmp"
    mv "$tmp" "$img"
    rm -rf "$d"
}

# index_modules: kmod's indexes of the cache's module tree (modprobe reads
# them; the guest's boot makes the static nodes from modules.devname), once.
index_modules() {
    local mods=$kdir/root/lib/modules/$kver
    [ -s "$mods/modules.devname" ] && return
    command -v depmod >/dev/null || die "depmod (kmod) is needed"
    depmod -b "$kdir/root" "$kver" || die "depmod failed"
    [ -s "$mods/modules.devname" ] || die "depmod made no modules.devname"
}

# prepare: the kernel and the initramfs, one lab at a time.
prepare() {
    mkdir -p "$cache"
    exec 9>"$cache/.lock"
    flock 9
    fetch_kernel
    index_modules
    build_initramfs
    flock -u 9
    exec 9>&-
}

# shots IO: the screenshots a guest asks for. A case writes logs/shots/NAME.req
# into the exchange directory; each head of the GPU goes into NAME-HEAD.ppm
# beside it through QEMU's monitor, then NAME.done says they are there.
shots() {
    local io=$1 req drain
    cat "$io/monitor.out" >"$io/monitor.log" &
    drain=$!
    while [ -f "$io/cmd" ]; do
        for req in "$io"/logs/shots/*.req; do
            [ -e "$req" ] || continue
            printf 'screendump %s-0.ppm gpu 0\nscreendump %s-1.ppm gpu 1\n' \
                "${req%.req}" "${req%.req}" >"$io/monitor.in"
            sleep 2
            mv "$req" "${req%.req}.done"
        done
        sleep 0.5
    done
    kill "$drain" 2>/dev/null
}

# keep_logs IO: the logs the guest left (the tests leave theirs; cases that
# write theirs as they go leave them even when the guest timed out), for a
# look afterwards.
keep_logs() {
    if [ -n "${lab_logs:-}" ] && [ -d "$1/logs" ]; then
        rm -rf "$lab_logs"
        mv "$1/logs" "$lab_logs"
    fi
}

# boot TIMEOUT CMD: runs CMD in a guest; its output on ours, its status ours.
# The arrays qemu_extra and kernel_extra add devices and kernel arguments;
# with screenshots set, QEMU's monitor serves the guest's screenshots.
qemu_extra=()
kernel_extra=()
screenshots=
boot() {
    local timeout=$1 cmd=$2 io accel rc kmods
    command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 (qemu-system-x86) is needed"
    io=$(mktemp -d /tmp/ink-lab-io.XXXXXX)
    printf '%s\n' "$cmd" >"$io/cmd"
    pwd >"$io/cwd"
    chmod 755 "$io"
    local monitor=()
    if [ -n "$screenshots" ]; then
        mkdir -p "$io/logs/shots"
        chmod 777 "$io/logs" "$io/logs/shots"
        mkfifo "$io/monitor.in" "$io/monitor.out"
        monitor=(-monitor "pipe:$io/monitor")
        shots "$io" &
    fi
    # KVM where /dev/kvm takes a machine: a nested one may refuse its
    # processor at once, while a machine with nothing to boot runs until
    # stopped.
    accel=tcg
    if [ -w /dev/kvm ] && (timeout 2 qemu-system-x86_64 -machine q35,accel=kvm -cpu max \
        -display none -nodefaults </dev/null >/dev/null 2>&1; [ $? -eq 124 ]) 2>/dev/null; then
        accel=kvm
    fi
    # The module tree by its absolute path: the guest binds it from /.
    kmods=$(cd "$kdir/root/lib/modules/$kver" && pwd -P)
    # The guest's processors poll when idle (idle=poll) instead of halting.
    # Under TCG, a halted virtual processor now and then was not woken for
    # seconds: the relay's reader slept on the hiddev node through the unit's
    # reports, which the host kept taking, and through its own 5 s time-out,
    # until the daemon gave up on the unit (in the kernel stage's gadget
    # cases and the desktops' calibrations). A polling processor needs no
    # wakeup. Each costs the host a core while the guest runs; the lab runs
    # alone. Under KVM the processors halt as they would on a desktop.
    local idle=idle=poll
    [ "$accel" = kvm ] && idle=""
    local start=$SECONDS
    set +e
    timeout --kill-after=10 "$timeout" qemu-system-x86_64 \
        -machine q35,accel=$accel -cpu "$cpu_model" -smp "$cpus" -m "$mem" \
        -display none -no-reboot -nodefaults \
        -chardev stdio,id=con,signal=off -serial chardev:con \
        -kernel "$kdir/root/boot/vmlinuz-$kver" -initrd "$initrd" \
        -append "console=ttyS0 quiet loglevel=3 panic=-1 lab_guest=$top/tools/lib/kernel-lab-guest.sh lab_io=$io lab_kmods=$kmods $idle ${kernel_extra[*]}" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs local,path="$io",mount_tag=labio,security_model=none \
        "${qemu_extra[@]}" "${monitor[@]}" \
        </dev/null | sed -u -E -e 's/\r$//' -e '/^\[ *[0-9.]+\] (sysrq|reboot): /d'
    rc=${PIPESTATUS[0]}
    set -e
    echo "kernel-lab: guest ran $((SECONDS - start)) s ($accel)" >&2
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        echo "kernel-lab: the guest did not finish within $timeout s" >&2
        keep_logs "$io"
        rm -rf "$io"
        return 124
    fi
    if [ ! -f "$io/status" ]; then
        echo "kernel-lab: the guest ended without running the command (qemu status $rc)" >&2
        rm -rf "$io"
        return 125
    fi
    rc=$(cat "$io/status")
    keep_logs "$io"
    rm -rf "$io"
    return "$rc"
}

case ${1:-} in
    run)
        shift
        timeout=600
        if [ "${1:-}" = --timeout ]; then
            timeout=$2
            shift 2
        fi
        [ $# -gt 0 ] || die "usage: $0 run [--timeout S] CMD..."
        prepare
        cd "$caller"
        boot "$timeout" "$*"
        ;;
    kernel)
        prepare
        echo "$kdir/root/boot/vmlinuz-$kver $initrd"
        ;;
    test | desktops)
        stage=$1
        shift
        prepare
        # A production build (the real paths, the real timing) with the lab's
        # cases: the guest is a machine of its own, and the programs it runs
        # are laid out there as installed. Only those and the cases are built.
        build=$top/build/lab
        start=$SECONDS
        cmake --preset lab >/dev/null
        cmake --build --preset lab -j"$(nproc)" >/dev/null || die "the lab's build failed"
        echo "kernel-lab: built in $((SECONDS - start)) s" >&2
        start=$SECONDS
        label=lab
        timeout=${INK_LAB_TIMEOUT:-900}
        lab_logs=$build/lab-logs
        if [ "$stage" = desktops ]; then
            # Two scanouts without EDID: the kernel's preferred modes are the
            # ones named here ("e" forces the second output on). The
            # compositors take far more memory than the lab's other cases.
            label=desktops
            timeout=${INK_LAB_TIMEOUT:-2400}
            mem=${INK_LAB_MEM:-3072}
            lab_logs=$build/desktops-logs
            qemu_extra=(-device virtio-gpu-pci,id=gpu,max_outputs=2,edid=off,xres=1280,yres=800)
            kernel_extra=(video=Virtual-1:1280x800 video=Virtual-2:1024x768e)
            screenshots=1
            # Mesa's software renderer crashed now and then in the code it
            # generates for the emulated AVX units: SSE only.
            cpu_model=max,avx=off,avx2=off,fma=off,f16c=off
        fi
        set +e
        boot "$timeout" "tools/lib/kernel-lab-wire.sh $build $label $*" | tee "$build/$label-tests.log"
        rc=${PIPESTATUS[0]}
        set -e
        echo "kernel-lab: tests took $((SECONDS - start)) s" >&2
        # ctest's closing line counts the cases ("N% tests passed, M tests
        # failed out of T"); a guest that never got there fails.
        if ! grep -qE '^[0-9]+% tests passed, ' "$build/$label-tests.log"; then
            echo "0 passed, 1 failed"
            exit 1
        fi
        exit "$rc"
        ;;
    *)
        echo "usage: $0 run [--timeout S] CMD... | test [CTEST-ARG...] | desktops [CTEST-ARG...] | kernel" >&2
        exit 2
        ;;
esac
