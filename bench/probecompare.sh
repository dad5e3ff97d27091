#!/usr/bin/env bash
# Times kapprobe beside f3probe (Debian's f3, in its default mode, which
# keeps the card's data) on fake cards: tests/fakecard behind a loop device
# with direct I/O, throttled by the kernel's block I/O throttling to a cheap
# stick's 10 MiB/s writing and 20 MiB/s reading, some of them charging a
# millisecond for every write request besides. Prints each program's time
# to its verdict, the verdict, and whether the card's storage came back as it
# was, side by side. Needs root.
#
#   bash bench/probecompare.sh [KAPPROBE-BEFORE]
#
# KAPPROBE-BEFORE: another kapprobe, say one built from an earlier commit,
# timed in a column of its own. A program that has no verdict after
# 600 seconds (900 for kapprobe) is stopped, and the column says so.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
installmissing cmake make g++ nlohmann-json3-dev pkg-config libfuse3-dev fuse3 libgtest-dev googletest f3 util-linux
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kapprobe fakecard >/dev/null
kapprobe=$PWD/build/release/kapprobe
fakecard=$PWD/build/release/tests/fakecard
before=${1:-}
[ -z "$before" ] || before=$(realpath "$before")

scratch=$(mktemp -d /dev/shm/kapprobe-bench.XXXXXX)
trap 'bash tests/card.sh detach "$scratch/card" 2>/dev/null || true; rm -rf "$scratch"' EXIT

gib=$((1 << 30))
mib=$((1 << 20))
# What each card claims and keeps, as tests/card.sh attaches it, and how many
# times each program runs on it (once where not said): the most common fake
# three times, as its few seconds vary most.
cards=(
    "wrap at 1 GiB of 64 GiB, no cache|wrap $((64 * gib)) $gib 0 512"
    "zeros beyond 1 GiB of 64 GiB, 4 MiB cache|zeros $((64 * gib)) $gib $((4 * mib)) 512|3"
    "zeros beyond 1 GiB of 64 GiB, 64 MiB cache|zeros $((64 * gib)) $gib $((64 * mib)) 512"
    "zeros beyond 1 GiB of 64 GiB, 256 MiB cache|zeros $((64 * gib)) $gib $((256 * mib)) 512"
    "0xff beyond 256 MiB of 2 TiB, no cache|ones $((2048 * gib)) $((256 * mib)) 0 512"
    "honest 2 GiB|honest $((2 * gib)) 0 0 512"
    # A cheap controller takes about a millisecond to accept any write,
    # however small: what thousands of small requests cost on a real card.
    "honest 2 GiB, 1 ms a write|honest $((2 * gib)) 0 0 512 writecost=1000"
    "zeros beyond 1 GiB of 64 GiB, 4 MiB cache, 1 ms a write|zeros $((64 * gib)) $gib $((4 * mib)) 512 writecost=1000|3"
)

# Runs a prober on the card: its seconds to the end, its status, the first
# line of its verdict, and whether the card's storage is as before.
measure() {
    local limit=$1 device=$2
    shift 2
    local store=$scratch/card.store digest start end status=0 output
    digest=$(sha256sum "$store" | cut -d' ' -f1)
    start=$(date +%s.%N)
    output=$(cd "$scratch/run" && timeout "$limit" "$@" "$device" 2>&1 | tr '\r' '\n') || status=$?
    end=$(date +%s.%N)
    local verdict
    verdict=$(printf '%s\n' "$output" | grep -a -m1 -E 'Kein Anzeichen|Gefälscht|Beschädigt|Anzeichen|news' ||
        true)
    [ "$status" -eq 124 ] && verdict="no verdict after $limit s"
    [ "$(sha256sum "$store" | cut -d' ' -f1)" = "$digest" ] && kept=kept || kept=CHANGED
    printf '%6.1f s  status %3d  %-7s  %s\n' "$(echo "$end - $start" | bc -l)" "$status" "$kept" "$verdict"
    rm -f "$scratch"/run/kapprobe-*.undo
}

# The median of the numbers given.
median() {
    printf '%s\n' "$@" | sort -n | awk '{ times[NR] = $1 } END { print times[int((NR + 1) / 2)] }'
}

mkdir "$scratch/run"
declare -a table
for entry in "${cards[@]}"; do
    IFS='|' read -r name shape rounds <<<"$entry"
    read -r kind claimed real cache sector options <<<"$shape"
    echo "== $name"
    # shellcheck disable=SC2086 # the options are words of their own
    device=$(bash tests/card.sh attach "$scratch/card" "$fakecard" "$kind" "$claimed" "$real" "$cache" "$sector" \
        ${options:-})
    bash tests/card.sh throttle "$device" 10 20
    beforetimes=() ourtimes=() f3times=()
    for ((round = 1; round <= ${rounds:-1}; round++)); do
        if [ -n "$before" ]; then
            line=$(measure 900 "$device" "$before")
            echo "   kapprobe before: $line"
            beforetimes+=("$(echo "$line" | awk '{print $1}')")
        fi
        line=$(measure 900 "$device" "$kapprobe")
        echo "   kapprobe:        $line"
        ourtimes+=("$(echo "$line" | awk '{print $1}')")
        line=$(measure 600 "$device" f3probe)
        echo "   f3probe:         $line"
        f3times+=("$(echo "$line" | awk '{print $1}')")
    done
    row="$name"
    [ -z "$before" ] || row="$row|$(median "${beforetimes[@]}")"
    table+=("$row|$(median "${ourtimes[@]}")|$(median "${f3times[@]}")")
    bash tests/card.sh detach "$scratch/card"
done

echo
echo "seconds to the verdict at 10 MiB/s writing, 20 MiB/s reading (the median where a card ran more than once):"
if [ -n "$before" ]; then
    printf '| %-55s | %15s | %8s | %8s |\n' card "kapprobe before" kapprobe f3probe
else
    printf '| %-55s | %8s | %8s |\n' card kapprobe f3probe
fi
for row in "${table[@]}"; do
    IFS='|' read -r -a cells <<<"$row"
    if [ -n "$before" ]; then
        printf '| %-55s | %15s | %8s | %8s |\n' "${cells[@]}"
    else
        printf '| %-55s | %8s | %8s |\n' "${cells[@]}"
    fi
done
