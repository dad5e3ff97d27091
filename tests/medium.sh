#!/usr/bin/env bash
# Real media for the end-to-end tests and the benchmarks: a file system on a
# loop device over an image file, optionally slowed down by the kernel's block
# I/O throttling (cgroup v1 blkio, which also holds back the system's own
# write-back, as a slow medium would).
#
#   medium.sh mount DIR ext4|exfat MIB [WRITE-MIB/S READ-MIB/S]
#   medium.sh unmount DIR
#
# The image is DIR.img, put there by mount and removed by unmount. The loop
# device does direct I/O, so the only cache above the image is the kernel's
# cache of the device itself. exfat is mounted with Debian's exfat-fuse, a
# FUSE daemon that reads the device through that cache. Where this machine
# cannot, mount says why on standard error and exits with 77.
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

case "${1:-}" in
mount) mountmedium "${@:2}" ;;
unmount) unmountmedium "$2" ;;
*)
    echo "usage: medium.sh mount DIR ext4|exfat MIB [WRITE-MIB/S READ-MIB/S] | unmount DIR" >&2
    exit 2
    ;;
esac
