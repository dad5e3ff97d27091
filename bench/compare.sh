#!/usr/bin/env bash
# Measures kapmess side by side with a raw copy of the same bytes and with
# f3write/f3read (where installed), in one run, alternating the contenders
# round by round, and prints medians and the ratios taken within each round.
# kapmess runs twice a round: into a pipe, and on a pseudo-terminal, where
# its progress line lives.
#
#   bash bench/compare.sh [directory] [amount in MiB] [rounds]
#
# directory defaults to a fresh one under /dev/shm, amount to 1024, rounds to 5.
# Rates are in MiB/s. Raw copies and f3 are timed by wall clock around the
# command; kapmess by the rates it reports itself, whose intervals run from
# the first file's creation to the last file's close.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
installmissing cmake make g++ nlohmann-json3-dev time bc

amount=${2:-1024}
rounds=${3:-5}
cmake --preset program >/dev/null
cmake --build --preset program -j "$(nproc)" >/dev/null
kapmess=$PWD/build/program/kapmess

if [ -n "${1:-}" ]; then
    dir=$(mktemp -d "$1/kapmess-bench.XXXXXX")
else
    dir=$(mktemp -d /dev/shm/kapmess-bench.XXXXXX)
fi
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/raw" "$dir/kapmess" "$dir/f3"

# The sizes of the files of a set, in blocks of 64 KiB.
fileblocks() {
    local remaining=$((amount * 16))
    while [ "$remaining" -gt 0 ]; do
        local blocks=$((remaining < 32767 ? remaining : 32767))
        echo "$blocks"
        remaining=$((remaining - blocks))
    done
}

now() { date +%s.%N; }
rate() { echo "$1 / ($3 - $2)" | bc -l; }

rawwrite() {
    rm -f "$dir"/raw/*
    local start k=0 blocks
    start=$(now)
    for blocks in $(fileblocks); do
        k=$((k + 1))
        dd if=/dev/zero of="$dir/raw/$k.kpm" bs=64k count="$blocks" status=none
    done
    rate "$amount" "$start" "$(now)"
}

rawread() {
    local start k=0 blocks
    for blocks in $(fileblocks); do
        k=$((k + 1))
        dd if="$dir/kapmess/$k.kpm" iflag=nocache count=0 status=none
    done
    k=0
    start=$(now)
    for blocks in $(fileblocks); do
        k=$((k + 1))
        dd if="$dir/kapmess/$k.kpm" of=/dev/null bs=64k count="$blocks" status=none
    done
    rate "$amount" "$start" "$(now)"
}

# The rate of the first (write) or last (verify) rate line of a run; with
# terminal=true its standard output is a pseudo-terminal (script), where the
# progress line lives.
kapmessrate() {
    if ${terminal:-false}; then
        script -qfec "cd '$dir/kapmess' && '$kapmess' $*" /dev/null
    else
        (cd "$dir/kapmess" && "$kapmess" "$@")
    fi | grep -a 'Transferrate' | awk '{print $4}' | sed -n "$rateline"
}

f3gib=$(((amount + 1023) / 1024))
f3write() {
    rm -f "$dir"/f3/*
    local start
    start=$(now)
    command f3write --end-at="$f3gib" "$dir/f3" >/dev/null
    rate $((f3gib * 1024)) "$start" "$(now)"
}
f3read() {
    local start
    start=$(now)
    command f3read --end-at="$f3gib" "$dir/f3" >/dev/null
    rate $((f3gib * 1024)) "$start" "$(now)"
}
havef3=false
type -P f3write >/dev/null && type -P f3read >/dev/null && havef3=true


results=()
for round in $(seq "$rounds"); do
    rw=$(rawwrite)
    rm -f "$dir"/kapmess/*
    kw=$(rateline=1p kapmessrate "$amount")
    rr=$(rawread)
    kr=$(rateline=1p kapmessrate "$amount" -r)
    rm -f "$dir"/kapmess/*
    tw=$(rateline=1p terminal=true kapmessrate "$amount")
    tr=$(rateline=1p terminal=true kapmessrate "$amount" -r)
    line="$round $rw $kw $rr $kr $tw $tr"
    if $havef3; then
        fw=$(f3write)
        fr=$(f3read)
        rm -f "$dir"/f3/*
        line="$line $fw $fr"
    fi
    results+=("$line")
    printf 'round %s: raw write %.0f, kapmess write %.0f (terminal %.0f), raw read %.0f, kapmess verify %.0f (terminal %.0f)%s\n' \
        "$round" "$rw" "$kw" "$tw" "$rr" "$kr" "$tr" "$($havef3 && printf ', f3write %.0f, f3read %.0f' "$fw" "$fr")"
done

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
column() { printf '%s\n' "${results[@]}" | awk "{print $1}" | median; }

echo
echo "amount $amount MiB in $dir, $rounds rounds, medians in MiB/s"
printf '  raw write      %8.0f\n' "$(column '$2')"
printf '  kapmess write  %8.0f   ratio to raw %.2f\n' "$(column '$3')" "$(column '$3/$2')"
printf '  raw read       %8.0f\n' "$(column '$4')"
printf '  kapmess verify %8.0f   ratio to raw %.2f\n' "$(column '$5')" "$(column '$5/$4')"
printf '  on a terminal: write %.0f, %.2f of the pipe'"'"'s; verify %.0f, %.2f of the pipe'"'"'s\n' \
    "$(column '$6')" "$(column '$6/$3')" "$(column '$7')" "$(column '$7/$5')"
if $havef3; then
    printf '  f3write        %8.0f   kapmess write / f3write %.2f\n' "$(column '$8')" "$(column '$3/$8')"
    printf '  f3read         %8.0f   kapmess verify / f3read %.2f\n' "$(column '$9')" "$(column '$5/$9')"
else
    echo "  f3write / f3read: not installed (Debian package f3)"
fi

echo
echo "peak memory (max RSS) of kapmess:"
for mib in 1 2048; do
    rm -f "$dir"/kapmess/*
    rss=$(cd "$dir/kapmess" && { /usr/bin/time -f '%M' "$kapmess" "$mib" >/dev/null; } 2>&1 | tail -n 1)
    printf '  amount %4d MiB: %s KiB\n' "$mib" "$rss"
done
