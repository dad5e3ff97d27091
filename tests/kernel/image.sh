#!/usr/bin/env bash
# The booted machine of the kernel tests: Debian's own kernel and an initramfs
# that holds busybox, the kernel's modules for USB sticks and their file
# systems, the programs under test with their libraries, the tools --fix runs,
# and tests/kernel/guest.sh as /init.
#
#   image.sh DIR KAPMESS KAPPROBE
#
# Leaves DIR/vmlinuz and DIR/initramfs. The kernel package is fetched with
# apt-get download once and kept unpacked in DIR/kernel; the initramfs is made
# again each time, as the programs change. Where this machine cannot, says why
# on standard error and exits with 77.
set -euo pipefail

dir=$1 kapmess=$2 kapprobe=$3
here=$(cd "$(dirname "$0")" && pwd)

cannot() {
    echo "$*" >&2
    exit 77
}

for tool in qemu-system-x86_64 busybox cpio depmod modprobe; do
    command -v $tool >/dev/null || cannot "no $tool (Debian: qemu-system-x86, busybox-static, cpio, kmod)"
done
mkdir -p "$dir"

# The kernel that Debian's linux-image-amd64 stands for today; a machine
# whose package lists were never fetched fetches them first.
kernelpackage() {
    apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1
}
package=$(kernelpackage)
[ -n "$package" ] || { apt-get update -qq >/dev/null 2>&1 && package=$(kernelpackage); }
[ -n "$package" ] || cannot "apt-cache names no kernel for linux-image-amd64"
version=${package#linux-image-}
if [ ! -e "$dir/kernel/$version.done" ]; then
    rm -rf "$dir/kernel"
    mkdir -p "$dir/kernel"
    (cd "$dir/kernel" && apt-get download "$package" >/dev/null 2>&1) || cannot "cannot download $package"
    dpkg-deb -x "$dir"/kernel/*.deb "$dir/kernel/root"
    rm "$dir"/kernel/*.deb
    depmod -b "$dir/kernel/root" "$version"
    touch "$dir/kernel/$version.done"
fi
cp "$dir/kernel/root/boot/vmlinuz-$version" "$dir/vmlinuz"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,mnt,journal,modules}
cp "$(command -v busybox)" "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
    [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done

# The modules in the order they load, each once.
order=()
for module in usb-storage xhci-pci sd_mod vfat exfat ext4 virtio_blk virtio_pci nls_ascii nls_cp437 \
    nls_iso8859-1 nls_utf8 crc32c_generic; do
    while read -r verb path _; do
        [ "$verb" = insmod ] || continue
        name=$(basename "$path")
        [[ " ${order[*]} " == *" $name "* ]] && continue
        order+=("$name")
        cp "$path" "$root/modules/"
    done < <(modprobe -d "$dir/kernel/root" -S "$version" --show-depends "$module")
done
printf '%s\n' "${order[@]}" >"$root/modules/order"

# The programs, with every library they load where they look for it.
for program in "$kapmess" "$kapprobe" /sbin/mkfs.vfat /sbin/mkfs.exfat; do
    cp -L "$program" "$root/sbin/$(basename "$program")"
    for library in $(ldd "$program" | grep -o '/[^ ]*'); do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
done
cp "$here/guest.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$dir/initramfs"
