#!/usr/bin/env bash
# Builds kapmess and kapprobe with warnings as errors and passes every check:
# the static checks, the test suite against the optimised and the sanitizer build, a
# bounded fuzzing run of the command line, the Windows build under Wine with
# its download archive, and the Debian package.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
installmissing cmake make g++ libgtest-dev googletest libbenchmark-dev strace mount e2fsprogs exfatprogs exfat-fuse \
    pkg-config libfuse3-dev fuse3 \
    clang-format clang-tidy cppcheck mandoc man-db dpkg-dev file g++-mingw-w64-x86-64 wine wine64 unzip \
    clang libclang-rt-14-dev

stage() { printf '\n== %s\n' "$*"; }
sources=$(git ls-files '*.cpp' '*.h')

stage "formatting"
clang-format --dry-run --Werror $sources

stage "manual page"
mandoc -T lint -W warning kapmess.1 kapprobe.1

for preset in release debug; do
    stage "$preset build and tests"
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset" -j 2
done

stage "clang-tidy and cppcheck"
clang-tidy --quiet -p build/release $(git ls-files 'src/*.cpp' | grep -v _win32)
cppcheck --enable=warning,performance,portability,style --error-exitcode=1 --std=c++17 -q -I src src

stage "fuzzing the command line for 45 seconds"
cmake --preset fuzz -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
fuzzdir=$(mktemp -d)
if ! build/fuzz/tests/fuzz/startupfuzz -max_total_time=45 -max_len=96 -timeout=10 \
    -artifact_prefix="$fuzzdir/" "$fuzzdir" "$PWD/tests/fuzz/corpus" >"$fuzzdir/log" 2>&1; then
    grep -a -v '^#' "$fuzzdir/log"
    echo "fuzzing found a command line that the program and the model disagree on"
    exit 1
fi
grep -a '^Done' "$fuzzdir/log"
rm -rf "$fuzzdir"

stage "Windows build, tested under Wine"
export WINEDEBUG=-all WINEPREFIX=$PWD/build/wine
wine cmd /c exit >/dev/null 2>&1 || true # creates the Wine prefix, which talks while it does
cmake --preset windows -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset windows -j "$(nproc)"
ctest --preset windows
# clang-tidy of the Win32 half, with the C++ library of the cross compiler
# (its intrinsics headers are GCC's own and stay out).
tidyargs=(--extra-arg=--target=x86_64-w64-windows-gnu)
for includedir in $(echo | x86_64-w64-mingw32-g++-posix -E -x c++ -v - 2>&1 |
    sed -n '/#include <...> search starts here:/,/End of search list./p' | grep '/c++'); do
    tidyargs+=("--extra-arg=-isystem$includedir")
done
clang-tidy --quiet -p build/windows "${tidyargs[@]}" --extra-arg=-isystem/usr/x86_64-w64-mingw32/include \
    src/platform/platform_win32.cpp

stage "Windows download"
(cd build/windows && rm -f kapmess-*.zip && cpack -G ZIP >/dev/null)
archive=$(ls build/windows/kapmess-*-win64.zip)
unzip -Z1 "$archive" | sort | tr '\n' ' ' | grep -qx 'README.md kapmess.exe kapmess.html kapprobe.exe kapprobe.html ' ||
    { echo "$archive holds the wrong files:"; unzip -l "$archive"; exit 1; }
unpacked=$(mktemp -d)
unzip -q "$archive" -d "$unpacked"
mkdir "$unpacked/run"
(cd "$unpacked/run" && wine "$unpacked/kapmess.exe" 1 | grep -a -c 'Fertig. Mittlere Transferrate' | grep -qx 2)
rm -rf "$unpacked"
echo "$archive holds kapmess.exe, kapprobe.exe, README.md and both manuals; its kapmess.exe tests 1 MiB under Wine"

stage "Debian package"
(cd build/release && cpack -G DEB >/dev/null)
package=$(ls build/release/kapmess_*.deb)
smoke=$(mktemp -d)
if [ "${CI:-}" = true ]; then
    # Only CI's own machine gets the package installed and removed again.
    dpkg -i "$package" >/dev/null
    (cd "$smoke" && kapmess 4 >/dev/null && kapmess 4 -r >/dev/null)
    man -w kapmess >/dev/null
    man -w kapprobe >/dev/null
    kapprobe >/dev/null || [ $? -eq 1 ]
    dpkg -r kapmess >/dev/null
    echo "$package installs, runs and uninstalls"
else
    dpkg-deb -x "$package" "$smoke/root"
    mkdir "$smoke/run"
    (cd "$smoke/run" && "$smoke/root/usr/bin/kapmess" 4 >/dev/null)
    test -f "$smoke/root/usr/share/man/man1/kapmess.1"
    test -x "$smoke/root/usr/bin/kapprobe" && test -f "$smoke/root/usr/share/man/man1/kapprobe.1"
    echo "$package unpacks and runs"
fi
rm -rf "$smoke"
