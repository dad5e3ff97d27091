#!/usr/bin/env bash
# On a Mac (macOS 11 or later, Xcode's command line tools, cmake; GoogleTest
# from Homebrew for the unit tests): builds both programs with the macos
# preset, runs the unit tests, and tries the programs on a RAM disk, which
# is what only a Mac can prove:
#   - kapprobe on the raw disk leaves every byte as it was (digests before
#     and after) and finds no sign of a counterfeit;
#   - kapmess on FAT32 on that disk writes and verifies a set;
#   - kapprobe refuses the disk while it is mounted, naming diskutil.
# Asks for the password once, for sudo: kapprobe needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(uname -s)" = Darwin ] || { echo "check-macos.sh runs on a Mac"; exit 2; }

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
digest() { sudo dd if="$raw" bs=1m 2>/dev/null | shasum -a 256 | cut -d' ' -f1; }
before=$(digest)
status=0
(cd "$scratch" && sudo "$OLDPWD/build/macos/kapprobe" --cache 32 "$disk") || status=$?
[ "$status" -eq 0 ] || { echo "kapprobe ended with status $status"; exit 1; }
[ "$(digest)" = "$before" ] || { echo "the disk is not as it was"; exit 1; }
ls "$scratch"/kapprobe-*.undo 2>/dev/null && { echo "a journal was left"; exit 1; }
echo "kapprobe found no sign, and every byte of $disk is as it was"

stage "kapmess on FAT32 on it"
diskutil eraseDisk FAT32 KAPTEST MBR "$disk" >/dev/null
volume=/Volumes/KAPTEST
(cd "$volume" && "$OLDPWD/build/macos/kapmess" 64)
(cd "$volume" && "$OLDPWD/build/macos/kapmess" 64 -r)

stage "a mounted disk is refused"
status=0
output=$(cd "$scratch" && sudo "$OLDPWD/build/macos/kapprobe" "$disk") || status=$?
printf '%s\n' "$output"
[ "$status" -eq 1 ] && printf '%s' "$output" | grep -q "diskutil unmountDisk" ||
    { echo "the mounted disk was not refused with diskutil's command"; exit 1; }
echo "check-macos.sh: every check passed"
