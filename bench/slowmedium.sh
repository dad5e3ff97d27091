#!/usr/bin/env bash
# Runs kapmess on a slow medium, ext4 on a loop device that the kernel's block
# I/O throttling holds to the given rates, and prints each rate that kapmess
# reports next to the throttle: they should be the medium's, not the memory's.
#
#   bash bench/slowmedium.sh [write MiB/s] [read MiB/s] [amount in MiB] [rounds]
#
# Defaults: 16 MiB/s writing, 48 MiB/s reading, 160 MiB, 3 rounds. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
installmissing cmake make g++ nlohmann-json3-dev e2fsprogs util-linux mount

writerate=${1:-16}
readrate=${2:-48}
amount=${3:-160}
rounds=${4:-3}
cmake --preset program >/dev/null
cmake --build --preset program -j "$(nproc)" >/dev/null
kapmess=$PWD/build/program/kapmess

scratch=$(mktemp -d /dev/shm/kapmess-slow.XXXXXX)
medium=$scratch/medium
mkdir "$medium"
trap 'bash tests/medium.sh unmount "$medium"; rm -rf "$scratch"' EXIT
bash tests/medium.sh mount "$medium" ext4 $((amount + amount / 4 + 64)) "$writerate" "$readrate"

rates() { (cd "$medium" && "$kapmess" "$@") | grep -a -o 'Transferrate [^ ]*' | cut -d' ' -f2 | tr '\n' ' '; }

echo "amount $amount MiB on ext4, throttled to $writerate MiB/s writing and $readrate MiB/s reading"
for round in $(seq "$rounds"); do
    read -r write verify <<<"$(rates "$amount")"
    read -r reverify <<<"$(rates "$amount" -r)"
    printf 'round %s: write %7.2f (throttle %s), verify %7.2f and with -r %7.2f (throttle %s) MiB/s\n' \
        "$round" "$write" "$writerate" "$verify" "$reverify" "$readrate"
done
