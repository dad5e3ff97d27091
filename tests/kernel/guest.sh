#!/bin/sh
# /init of the booted machine of the kernel tests (busybox). It loads the
# modules, mounts the journal disk (/dev/vda, ext4) on /journal, waits for
# the USB sticks, runs the case named by kapcase= on the kernel's command line
# in /journal, and powers off. Everything the host reads comes on the console
# as lines that begin with "@@ ":
#   @@ NAME status N     a command ended with status N
#   @@ NAME out| LINE    its standard output, line by line
#   @@ NAME err| LINE    its standard error
#   @@ NAME LINE         a finding of the case's own
#   @@ pull, @@ plug     the host is to unplug the stick, or plug it back in
#   @@ cut               the host is to cut the power
#   @@ end               the case is over
export PATH=/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do
    # The accelerated checksums need processor features the emulator may lack.
    insmod "/modules/$module" 2>/dev/null
done

argument() {
    sed -n "s/.*\<$1=\([^ ]*\).*/\1/p" /proc/cmdline
}

say() {
    echo "@@ $*"
}

# reported NAME STATUS: reports a command's status and the output it left
# in /tmp/out and /tmp/err.
reported() {
    say "$1 status $2"
    sed "s/^/@@ $1 out| /" /tmp/out
    sed "s/^/@@ $1 err| /" /tmp/err
}

# run NAME COMMAND...: runs the command, no terminal on its input, and
# reports its status and output.
run() {
    name=$1
    shift
    "$@" </dev/null >/tmp/out 2>/tmp/err
    reported "$name" $?
}

# The whole disks of the USB sticks, in the order the kernel found them.
sticks() {
    for disk in /sys/block/sd*; do
        [ -e "$disk" ] && echo "/dev/${disk##*/}"
    done
}

# waitsticks N: waits till N sticks are there, with a kernel's partition scan done.
waitsticks() {
    for _ in $(seq 600); do
        [ "$(sticks | wc -l)" -eq "$1" ] && break
        sleep 0.1
    done
    sleep 1
}

# Waits till a probe's journal holds something to give back: the probe is
# writing over the card.
waitwriting() {
    for _ in $(seq 1200); do
        for journal in kapprobe-*.undo; do
            [ -e "$journal" ] && [ "$(stat -c %s "$journal")" -gt $((4 << 20)) ] && return
        done
        sleep 0.1
    done
}

# The start and size of the first partition of a disk, in bytes.
partition() {
    echo "$(($(cat "/sys/block/$1/${1}1/start") * 512)) $(($(cat "/sys/block/$1/${1}1/size") * 512))"
}

mkdir -p /journal
mount -t ext4 /dev/vda /journal
cd /journal || exit
waitsticks "$(argument sticks)"
stick=$(sticks | head -n 1)

case $(argument kapcase) in
batch)
    # shellcheck disable=SC2046
    run batch kapprobe --json $(sticks)
    ;;
kill)
    kapprobe "$stick" </dev/null >/dev/null 2>&1 &
    waitwriting
    kill -9 $!
    wait
    run restore kapprobe --restore --yes "$stick"
    ;;
pull)
    kapprobe "$stick" </dev/null >/tmp/out 2>/tmp/err &
    probe=$!
    waitwriting
    # Held open as a desktop holds a stick, the node stays taken, and the
    # stick comes back as another.
    exec 3<"$stick"
    say pull
    wait $probe
    reported pulled $?
    say "journals $(ls kapprobe-*.undo 2>/dev/null | wc -l)"
    say plug
    waitsticks 1
    exec 3<&-
    stick=$(sticks)
    say "replugged ${stick#/dev/}"
    run restore kapprobe --restore --yes "$stick"
    ;;
cut)
    kapprobe "$stick" </dev/null >/dev/null 2>&1 &
    waitwriting
    say cut
    sleep 600
    ;;
restore)
    run restore kapprobe --restore --yes "$stick"
    ;;
fix)
    filesystem=$(argument filesystem)
    run fix kapprobe --fix --yes "$stick"
    disk=${stick#/dev/}
    say "partition $(partition "$disk")"
    run partitionnamed kapprobe "${stick}1"
    mount -t "$filesystem" "${stick}1" /mnt
    run mounted kapprobe "$stick"
    amount=$(argument amount)
    [ -n "$amount" ] || amount=$(($(df -m /mnt | awk 'NR == 2 { print $4 }') - 1))
    (cd /mnt && run write kapmess "$amount")
    umount /mnt
    echo 3 >/proc/sys/vm/drop_caches
    mount -t "$filesystem" "${stick}1" /mnt
    (cd /mnt && run verify kapmess "$amount" -r)
    umount /mnt
    sleep 600 3<"$stick" &
    run held kapprobe "$stick"
    kill $!
    run unfix kapprobe --unfix "$(ls kapprobe-"$(blockdev --getsize64 "$stick")"-*.vor-fix)" --yes "$stick"
    ;;
kapmess)
    mkfs.vfat -I "$stick" >/dev/null
    mount -t vfat "$stick" /mnt
    (cd /mnt && run kapmess kapmess "$(argument amount)")
    ;;
esac
cd /
umount /journal
say end
poweroff -f
