#!/bin/bash
# The kernel lab's guest side, run as the guest's first process on the
# host's root (read-only, under a tmpfs overlay): fresh /tmp and /run, the
# command of $1/cmd in the directory of $1/cwd, its output on the console and
# its exit status into $1/status; then the machine is switched off.
# The exchange directory moves to /run/lab-io before /tmp, where the host
# keeps it, is covered.
mount -t tmpfs -o mode=755 run /run
mkdir -p /run/lab-io
mount --move "$1" /run/lab-io
io=/run/lab-io
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root TERM=dumb LANG=C.UTF-8
# The guest kernel's modules (the host's root has its own kernel's) for
# modprobe, which the kernel runs to load a module on demand. Bound before
# /var/tmp, where the host's cache is, is covered.
if [ -n "${lab_kmods:-}" ] && [ -d "$lab_kmods" ]; then
    mkdir -p "/lib/modules/$(uname -r)"
    mount --bind "$lab_kmods" "/lib/modules/$(uname -r)"
    # udevd would now load a driver for every device of the machine, some
    # 30 modules that take the emulator 6 s and more: the lab keeps to those
    # it loads itself and those the kernel asks for.
    mkdir -p /etc/udev/rules.d
    ln -sf /dev/null /etc/udev/rules.d/80-drivers.rules
fi
# The static device nodes of modules not loaded yet, as Debian's boot makes
# them (kmod-static-nodes.service): opening one loads its module. What the
# boot found is kept for the tests.
mkdir -p /run/tmpfiles.d
if [ -s "/lib/modules/$(uname -r)/modules.devname" ] &&
    kmod static-nodes --format=tmpfiles --output=/run/tmpfiles.d/static-nodes.conf; then
    systemd-tmpfiles --prefix=/dev --create --boot 2>/dev/null
fi
{
    ls -l /dev/uinput 2>&1
    if [ -d /sys/module/uinput ]; then echo "uinput loaded"; else echo "uinput not loaded"; fi
} >/run/lab-boot-uinput.txt
mount -t tmpfs -o mode=1777 tmp /tmp
mount -t tmpfs -o mode=1777 vartmp /var/tmp
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 shm /dev/shm
mount -t configfs none /sys/kernel/config 2>/dev/null
ln -sf /proc/self/fd /dev/fd 2>/dev/null
hostname ink-lab 2>/dev/null
cd "$(cat "$io/cwd")" || cd /
bash -c "$(cat "$io/cmd")" </dev/null
echo $? >"$io/status"
sync
# PID 1 may not end: the machine is switched off instead, quietly.
echo 1 >/proc/sys/kernel/printk
# What runs after this may find the host's root gone: not a word of it.
exec >/dev/null 2>&1
echo o >/proc/sysrq-trigger
sleep 10
