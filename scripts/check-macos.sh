#!/usr/bin/env bash
# On a Mac (macOS 11 or later, Xcode's command line tools, cmake and
# nlohmann-json from Homebrew; GoogleTest from Homebrew for the unit tests): builds both programs with the macos
# preset, runs the unit tests, and tries the programs where only a Mac can:
#   - kapprobe on the raw node of a RAM disk leaves every byte as it was
#     (digests before and after) and finds no sign of a counterfeit;
#   - kapmess on FAT32 on that disk writes and verifies a set;
#   - kapprobe refuses the disk while its FAT32 volume is mounted, naming
#     diskutil unmountDisk;
#   - it refuses it too while an APFS volume is mounted, which the system
#     mounts from a container disk of its own, not from the RAM disk, and
#     probes it, every byte kept, once diskutil unmountDisk has run;
#   - given an external physical disk, as `diskutil list external physical`
#     lists it (a card in a USB reader, with a genuine card in it):
#         bash scripts/check-macos.sh /dev/disk4
#     it unmounts the disk and runs kapprobe on it, which must find no sign,
#     get past the reader's answer to the cache flush, whatever it is, and
#     leave every byte as it was. The whole card is read twice for the
#     digests: minutes for every GByte. Without a disk named, this check is
#     skipped, and the script says so.
# Asks for the password once, for sudo: kapprobe needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(uname -s)" = Darwin ] || { echo "check-macos.sh runs on a Mac"; exit 2; }
reader=${1:-}
if [ -n "$reader" ]; then
    diskutil list external physical | grep -q "^$reader (external, physical)" ||
        { echo "$reader is no external physical disk: see diskutil list external physical"; exit 2; }
fi

stage() { printf '\n== %s\n' "$*"; }

stage "build"
cmake --preset macos -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset macos -j "$(sysctl -n hw.ncpu)"
file build/macos/kapmess build/macos/kapprobe
if [ -x build/macos/tests/unittests ]; then
    stage "unit tests"
    ctest --preset macos
fi

stage "kapprobe on a RAM disk of 256 MiB"
disk=$(hdiutil attach -nomount ram://524288 | awk '{print $1}')
scratch=$(mktemp -d)
trap 'diskutil unmountDisk "$disk" >/dev/null 2>&1 || true; hdiutil detach "$disk" >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
raw=${disk/\/dev\/disk//dev/rdisk}
# Something on the disk worth keeping, beyond its first MiB.
sudo dd if=/dev/urandom of="$raw" bs=1m count=256 2>/dev/null
digest() { sudo dd if="$1" bs=1m 2>/dev/null | shasum -a 256 | cut -d' ' -f1; }
before=$(digest "$raw")
status=0
(cd "$scratch" && sudo "$OLDPWD/build/macos/kapprobe" --cache 32 "$disk") || status=$?
[ "$status" -eq 0 ] || { echo "kapprobe ended with status $status"; exit 1; }
[ "$(digest "$raw")" = "$before" ] || { echo "the disk is not as it was"; exit 1; }
ls "$scratch"/kapprobe-*.undo 2>/dev/null && { echo "a journal was left"; exit 1; }
echo "kapprobe found no sign, and every byte of $disk is as it was"

stage "kapmess on FAT32 on it"
diskutil eraseDisk FAT32 KAPTEST MBR "$disk" >/dev/null
volume=/Volumes/KAPTEST
(cd "$volume" && "$OLDPWD/build/macos/kapmess" 64)
(cd "$volume" && "$OLDPWD/build/macos/kapmess" 64 -r)

# kapprobe on the mounted disk must end with status 1 and diskutil's command.
refused() {
    local status=0 output
    output=$(cd "$scratch" && sudo "$OLDPWD/build/macos/kapprobe" "$disk") || status=$?
    printf '%s\n' "$output"
    if [ "$status" -ne 1 ] || ! grep -q "diskutil unmountDisk" <<<"$output"; then
        echo "the mounted disk was not refused with diskutil's command (status $status)"
        exit 1
    fi
}

stage "a mounted disk is refused"
refused

stage "a disk with a mounted APFS volume is refused, and probed once unmounted"
diskutil eraseDisk APFS KAPAPFS GPT "$disk" >/dev/null
mount | grep " on /Volumes/KAPAPFS " || { echo "no APFS volume on $disk mounted"; exit 1; }
refused
# The hint is enough: unmounted so, the disk is probed and left as it was.
diskutil unmountDisk "$disk" >/dev/null
before=$(digest "$raw")
status=0
(cd "$scratch" && sudo "$OLDPWD/build/macos/kapprobe" --cache 32 "$disk") || status=$?
[ "$status" -eq 0 ] || { echo "kapprobe after diskutil unmountDisk ended with status $status"; exit 1; }
[ "$(digest "$raw")" = "$before" ] || { echo "the APFS disk is not as it was"; exit 1; }

if [ -n "$reader" ]; then
    stage "kapprobe on $reader"
    diskutil unmountDisk "$reader" >/dev/null
    readerraw=${reader/\/dev\/disk//dev/rdisk}
    before=$(digest "$readerraw")
    status=0
    (cd "$scratch" && sudo "$OLDPWD/build/macos/kapprobe" "$reader") || status=$?
    [ "$status" -eq 0 ] || { echo "kapprobe on $reader ended with status $status"; exit 1; }
    [ "$(digest "$readerraw")" = "$before" ] || { echo "$reader is not as it was"; exit 1; }
    ls "$scratch"/kapprobe-*.undo 2>/dev/null && { echo "a journal was left"; exit 1; }
    diskutil mountDisk "$reader" >/dev/null 2>&1 || true
    echo "kapprobe found no sign, and every byte of $reader is as it was"
else
    stage "kapprobe on a card reader: skipped"
    echo "no external disk named; to run kapprobe on a card in a USB reader, name its disk as"
    echo "diskutil list external physical shows it: bash scripts/check-macos.sh /dev/disk4"
fi
echo "check-macos.sh: every check passed"
