#!/usr/bin/env bash
# Fake cards for the kapprobe tests: the FUSE file of tests/fakecard, its
# real storage filled with random data, on a loop device with direct I/O.
#
#   card.sh attach DIR FAKECARD KIND CLAIMED REAL CACHE SECTOR [OPTION...]
#   card.sh throttle DEVICE WRITE-MIB/S READ-MIB/S
#   card.sh detach DIR
#
# attach mounts the card on DIR (its storage is DIR.store) and prints the loop
# device; sizes are in bytes, KIND and the options as fakecard takes them. KIND
# image is no fake card but an honest one of any size at little cost: a sparse
# file DIR/card of CLAIMED bytes with a random MiB at each GiB, without FUSE.
# A real storage above 4 GiB is sparse the same way.
# Where this machine cannot, attach and throttle say why on standard error and
# exit with 77.
set -euo pipefail

throttles=/sys/fs/cgroup/blkio/blkio.throttle

cannot() {
    echo "$*" >&2
    exit 77
}

# sparse FILE BYTES: a sparse file with a random MiB at each GiB.
sparse() {
    truncate -s "$2" "$1"
    local gib
    for ((gib = 0; gib << 30 < $2; gib++)); do
        head -c $((1 << 20)) /dev/urandom | dd of="$1" bs=1M seek=$((gib << 10)) conv=notrunc status=none
    done
}

attach() {
    local dir=$1 fakecard=$2 kind=$3 claimed=$4 real=$5 cache=$6 sector=$7
    mkdir -p "$dir"
    command -v losetup >/dev/null || cannot "losetup is not installed"
    if [ "$kind" = image ]; then
        sparse "$dir/card" "$claimed"
    else
        [ -c /dev/fuse ] || cannot "no /dev/fuse"
        local storebytes=$real
        [ "$kind" = honest ] && storebytes=$claimed
        if ((storebytes > 4 << 30)); then
            # A store this large is sparse, a random MiB at each GiB.
            sparse "$dir.store" "$storebytes"
        else
            head -c "$storebytes" /dev/urandom >"$dir.store"
        fi
        "$fakecard" "$dir" "$dir.store" "$claimed" "$kind" "$real" "$cache" "${@:8}" 2>/dev/null ||
            cannot "cannot mount the fake card on $dir"
    fi
    local loop
    if ! loop=$(losetup --direct-io=on --sector-size "$sector" --find --show "$dir/card" 2>&1); then
        umount "$dir" 2>/dev/null || rm -f "$dir/card"
        cannot "no loop device: $loop"
    fi
    echo "$loop"
}

throttle() {
    local device=$1 numbers
    [ -w "$throttles.write_bps_device" ] || cannot "no block I/O throttling here ($throttles.write_bps_device)"
    numbers=$(printf '%d:%d' "0x$(stat -c %t "$device")" "0x$(stat -c %T "$device")")
    echo "$numbers $(($2 << 20))" >"$throttles.write_bps_device"
    echo "$numbers $(($3 << 20))" >"$throttles.read_bps_device"
}

detach() {
    local dir=$1 loop numbers
    for loop in $(losetup -j "$dir/card" -O NAME -n 2>/dev/null); do
        numbers=$(printf '%d:%d' "0x$(stat -c %t "$loop")" "0x$(stat -c %T "$loop")")
        for direction in write read; do
            [ ! -w "$throttles.${direction}_bps_device" ] || echo "$numbers 0" >"$throttles.${direction}_bps_device"
        done
        losetup -d "$loop"
    done
    if mountpoint -q "$dir"; then
        # The kernel lets go of a detached loop device's file a moment
        # later, on a busy machine several: till then the card is busy.
        local tries
        for tries in $(seq 100); do
            umount "$dir" 2>/dev/null && break
            sleep 0.1
        done
    else
        rm -f "$dir/card"
    fi
    rmdir "$dir" 2>/dev/null || true
    rm -f "$dir.store"
}

case "${1:-}" in
attach) attach "${@:2}" ;;
throttle) throttle "${@:2}" ;;
detach) detach "$2" ;;
*)
    echo "usage: card.sh attach DIR FAKECARD KIND CLAIMED REAL CACHE SECTOR [OPTION...]" \
        "| throttle DEVICE WRITE READ | detach DIR" >&2
    exit 2
    ;;
esac
