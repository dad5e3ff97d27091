#!/usr/bin/env bash
# Builds kapmess and lets it test 64 MiB in a fresh scratch directory, which is
# removed afterwards. Give another amount in MiB as the first argument.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
installmissing cmake make g++ nlohmann-json3-dev
cmake --preset program >/dev/null
cmake --build --preset program -j "$(nproc)" >/dev/null
scratchdir=$(mktemp -d "${TMPDIR:-/tmp}/kapmess-try.XXXXXX")
trap 'rm -rf "$scratchdir"' EXIT
program=$PWD/build/program/kapmess
cd "$scratchdir"
status=0
"$program" "${1:-64}" || status=$?
echo "kapmess ended with status $status in $scratchdir"
exit "$status"
