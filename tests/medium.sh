#!/usr/bin/env bash
# Real media for the end-to-end tests and the benchmarks: a file system on a
# loop device over an image file, optionally slowed down by the kernel's block
# I/O throttling (cgroup v1 blkio, which also holds back the system's own
# write-back, as a slow medium would).
#
#   medium.sh mount DIR ext4|exfat MIB [WRITE-MIB/S READ-MIB/S]
#   medium.sh unmount DIR
#   medium.sh partition DIR DEVICE
#   medium.sh unpartition DIR
#
# The image is DIR.img, put there by mount and removed by unmount. The loop
# device does direct I/O, so the only cache above the image is the kernel's
# cache of the device itself. exfat is mounted with Debian's exfat-fuse, a
# FUSE daemon that reads the device through that cache.
#
# partition mounts the file system on the first partition of DEVICE, as its
# partition table tells, on DIR: through a loop device of its own (this
# kernel shows no partitions of a loop device), FAT with fusefat, exFAT with
# exfat-fuse. unpartition unmounts it once its daemon has written everything
# and ended. Where this machine cannot, mount and partition say why on
# standard error and exit with 77.
set -euo pipefail

throttles=/sys/fs/cgroup/blkio/blkio.throttle

cannot() {
    echo "$*" >&2
    exit 77
}

# The major:minor numbers of the loop device mounted on DIR.
devicenumbers() {
    local device
    device=$(findmnt -n -o SOURCE --mountpoint "$1") || return 1
    printf '%d:%d\n' "0x$(stat -c %t "$device")" "0x$(stat -c %T "$device")"
}

mountmedium() {
    local dir=$1 type=$2 mib=$3 writerate=${4:-} readrate=${5:-}
    local mkfs=mkfs.$type mounter=mount
    [ "$type" = exfat ] && mounter=mount.exfat-fuse
    for tool in losetup "$mkfs" "$mounter"; do
        command -v "$tool" >/dev/null || cannot "$tool is not installed"
    done
    [ "$type" != exfat ] || [ -c /dev/fuse ] || cannot "no /dev/fuse"
    if [ -n "$writerate" ] && [ ! -w "$throttles.write_bps_device" ]; then
        cannot "no block I/O throttling here ($throttles.write_bps_device)"
    fi

    truncate -s "${mib}M" "$dir.img"
    local loop
    loop=$(losetup --direct-io=on --find --show "$dir.img" 2>&1) || cannot "no loop device: $loop"
    # Everything written at once, so that no lazy initialisation runs later.
    if ! "$mkfs" $([ "$type" = ext4 ] && echo -q -E lazy_itable_init=0,lazy_journal_init=0) "$loop" \
        >/dev/null 2>&1 || ! "$mounter" "$loop" "$dir" 2>/dev/null; then
        losetup -d "$loop"
        cannot "cannot make and mount $type on $loop"
    fi
    if [ -n "$writerate" ]; then
        local numbers
        numbers=$(devicenumbers "$dir")
        echo "$numbers $((writerate << 20))" >"$throttles.write_bps_device"
        echo "$numbers $((readrate << 20))" >"$throttles.read_bps_device"
    fi
}

unmountmedium() {
    local dir=$1 numbers loop
    numbers=$(devicenumbers "$dir") || return 0
    loop=$(findmnt -n -o SOURCE --mountpoint "$dir")
    for direction in write read; do
        [ ! -w "$throttles.${direction}_bps_device" ] || echo "$numbers 0" >"$throttles.${direction}_bps_device"
    done
    umount "$dir"
    losetup -d "$loop"
    rm -f "$dir.img"
}

# The FUSE daemons serving DIR: the processes of fusefat or exfat-fuse
# whose command line names it.
daemonsof() {
    local dir=$1 process line
    for process in /proc/[0-9]*; do
        line=$( { tr '\0' ' ' <"$process/cmdline"; } 2>/dev/null) || continue
        case "${line%% *}" in
        *fusefat | *exfat-fuse) [[ "$line " == *" $dir "* ]] && echo "${process#/proc/}" ;;
        esac
    done
    return 0
}

mountpartition() {
    local dir=$1 device=$2 sector start size loop type tries
    for tool in losetup sfdisk blkid fusefat mount.exfat-fuse; do
        command -v "$tool" >/dev/null || cannot "$tool is not installed"
    done
    [ -c /dev/fuse ] || cannot "no /dev/fuse"
    sector=$(blockdev --getss "$device")
    read -r start size < <(sfdisk --dump "$device" | sed -n 's/.*start= *\([0-9]*\), size= *\([0-9]*\),.*/\1 \2/p')
    [ -n "$size" ] || cannot "no partition on $device"
    loop=$(losetup --find --show --offset $((start * sector)) --sizelimit $((size * sector)) "$device" 2>&1) ||
        cannot "no loop device: $loop"
    type=$(blkid -o value -s TYPE "$loop" || true)
    # fusefat reports a mount that failed in its daemon with status 0, and
    # refuses a directory that holds files unless told.
    case "$type" in
    vfat) fusefat -o rw+,nonempty "$loop" "$dir" >/dev/null 2>&1 || true ;;
    exfat) mount.exfat-fuse "$loop" "$dir" >/dev/null 2>&1 || true ;;
    esac
    for tries in $(seq 50); do
        ! mountpoint -q "$dir" || break
        sleep 0.1
    done
    if ! mountpoint -q "$dir"; then
        losetup -d "$loop"
        cannot "cannot mount the partition of $device through $loop"
    fi
    echo "$loop" >"$dir.loop"
}

unmountpartition() {
    local dir=$1 daemon tries
    local daemons
    daemons=$(daemonsof "$dir")
    umount "$dir"
    # The daemon writes what it still holds before it ends, which on a
    # busy machine takes a while; the device is not let go of before.
    for daemon in $daemons; do
        for tries in $(seq 3000); do
            kill -0 "$daemon" 2>/dev/null || break
            sleep 0.1
        done
        ! kill -0 "$daemon" 2>/dev/null || { echo "the daemon $daemon of $dir does not end" >&2; exit 1; }
    done
    losetup -d "$(cat "$dir.loop")"
    rm -f "$dir.loop"
}

case "${1:-}" in
mount) mountmedium "${@:2}" ;;
unmount) unmountmedium "$2" ;;
partition) mountpartition "$2" "$3" ;;
unpartition) unmountpartition "$2" ;;
*)
    echo "usage: medium.sh mount DIR ext4|exfat MIB [WRITE-MIB/S READ-MIB/S] | unmount DIR |" \
        "partition DIR DEVICE | unpartition DIR" >&2
    exit 2
    ;;
esac
