#!/bin/bash
# The kernel lab's wiring, run inside the guest by `tools/kernel-lab.sh test`
# (as root, on the host's root under a throwaway overlay): the programs of the
# lab's build $1 laid out as installed, the fake tray program in the tray's
# place, the unit's ids (the lab's test ids where the hardware file has none)
# in the hardware file and the udev rule made from it as the build makes it,
# and the real udevd. Then the lab's cases, ctest -L LABEL ($2: lab, or
# desktops with the virtual GPU's driver and the cgroup tree the desktops'
# sessions live in) with the further arguments; their logs (/tmp/lab) and the
# kernel's go back to the host.
set -u
build=$1
label=$2
shift 2
src=$(cd "$(dirname "$0")/../.." && pwd)
install -m 755 "$build"/bin/{inkd,inkrelay,inkwake,inkpointer} /usr/bin/
install -m 755 "$build/bin/inkfaketray" /usr/bin/inktray
install -d /usr/bin/vexor-driver /etc/udev/rules.d /sbin /tmp/lab
install -m 644 "$src"/data/{hw.txt,refN.txt,Cam.dat} /usr/bin/vexor-driver/
sed -i -e 's/^verdorID.*/verdorID 1209/' -e 's/^productID.*/productID 0001/' \
    /usr/bin/vexor-driver/hw.txt
cmake -DHW=/usr/bin/vexor-driver/hw.txt -DIN="$src/data/udev/60-vexor-driver.rules.in" \
    -DOUT=/etc/udev/rules.d/60-vexor-driver.rules -P "$src/packaging/udev_rule.cmake"
rm -f /sbin/fmousefifo
mkfifo /sbin/fmousefifo
/lib/systemd/systemd-udevd --daemon --resolve-names=never 2>/tmp/lab/udevd.log ||
    echo "kernel-lab: udevd did not start"
if [ "$label" = desktops ]; then
    modprobe virtio_gpu || echo "kernel-lab: no virtio_gpu"
    mount -t cgroup2 none /sys/fs/cgroup 2>/dev/null
fi
udevadm trigger --action=add >/dev/null 2>&1
udevadm settle -t 10
mkdir -p /run/lab-io/logs
INK_LAB_GUEST=1 ctest --test-dir "$build" -L "$label" --output-on-failure \
    --output-junit /run/lab-io/logs/junit.xml "$@"
rc=$?
cp -a /tmp/lab/. /run/lab-io/logs/
dmesg >/run/lab-io/logs/dmesg.txt
exit $rc
