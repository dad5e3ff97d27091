#!/usr/bin/env bash
# The JSON header under a prefix of its own, with its CMake configuration, as
# Homebrew keeps it on a Mac: a build configured with that prefix takes the
# header from there, whatever /usr/include holds.
#
#   jsonprefix.sh SOURCEDIR
set -euo pipefail
source=$1
config=/usr/share/cmake/nlohmann_json
[ -e "$config/nlohmann_jsonConfig.cmake" ] || { echo "no nlohmann_json configuration in $config" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/prefix/include" "$work/prefix/share/cmake"
cp -r /usr/include/nlohmann "$work/prefix/include/"
cp -r "$config" "$work/prefix/share/cmake/"
cmake -S "$source" -B "$work/build" -DBUILD_TESTING=OFF -DKAPMESS_BENCH=OFF \
    -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
linked=$(readlink "$work/build/json/nlohmann")
[ "$linked" = "$work/prefix/include/nlohmann" ] || { echo "the build took $linked" >&2; exit 1; }
echo "taken from the prefix: $linked"
