#!/bin/sh
# The tool on network shares: boots Debian 12's own kernels (Linux 6.1, and
# 6.12, its newer choice) in a virtual machine (this machine's kernel has no
# NFS, SMB, FAT, udf or ntfs3), serves NFS and SMB from it over loopback,
# mounts each share twice (the second mount is another client), shares a
# folder of this machine's into it over 9p twice, and runs scenarios.py
# against BINARY there. Needs root and Debian's qemu-system-x86,
# busybox-static, kmod, iproute2, nfs-kernel-server, samba, cifs-utils,
# udftools and ntfs-3g; fetches the kernel packages with apt-get into
# build/guest-kernel once. Exits with the scenarios' status. With ROW, only
# the rows whose name holds that text run.
#
# Usage: tests/shares/run.sh BINARY [ROW]
set -eu
[ "$(id -u)" -eq 0 ] || { echo "needs root (a mount namespace and the servers)" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
binary=$(realpath "$1")
work=$(mktemp -d /tmp/cylswap-shares.XXXXXX)
trap 'rm -rf "$work"' EXIT

# A kernel, unpacked from the package that a Debian 12 meta-package names
# today. User-mode Linux cannot serve: its 6.1 cannot save the register
# state of a processor with AVX-512, and its processes fault.
fetch() {  # meta-package; sets version and kernel
  package=$(apt-cache depends "$1" | sed -n 's/^ *Depends: \(linux-image-.*\)/\1/p' | head -n 1)
  version=${package#linux-image-}
  kernel=$here/../../build/guest-kernel/$version
  [ -n "$version" ] || { echo "no kernel package behind $1" >&2; exit 1; }
  [ ! -f "$kernel/boot/vmlinuz-$version" ] || return 0
  mkdir -p "$kernel.download" && chmod 777 "$kernel.download"
  # Lists older than the archive name a package it no longer has.
  (cd "$kernel.download" && { apt-get download -q "$package" ||
    { apt-get update -qq && apt-get download -q "$package"; }; }) >/dev/null
  dpkg-deb -x "$kernel.download"/*.deb "$kernel" && rm -rf "$kernel.download"
  depmod -b "$kernel" "$version"
}

# The guest's root is a folder of this machine's, shared over 9p: this
# machine's /usr read-only, a copy of /etc, the scripts and binary under
# test. A small first root, one per kernel, loads what mounting it takes.
root=$work/root
mkdir -p "$root/usr" "$root/host9p"
for folder in proc sys tmp run var dev srv mnt; do mkdir "$root/$folder"; done
for link in bin lib lib64 sbin; do ln -s "usr/$link" "$root/$link"; done
cp -a /etc "$root/etc"
cp "$here/guest_init.sh" "$root/init"
cp "$here/scenarios.py" "$here/../e2e/catalogue.py" "$here/../e2e/disks.py" \
  "$here/../messages.expected" "$root/"
cp "$binary" "$root/cylswap"
first_root() {  # of the kernel fetched last
  first=$work/first-$version
  mkdir -p "$root/modroot/lib/modules/$version" "$first/bin"
  cp /usr/bin/busybox "$first/bin/"
  modprobe -d "$kernel" -S "$version" --show-depends -a virtio_pci 9pnet_virtio 9p |
    awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r module; do
      # 6.12's come compressed, which the kernel cannot take from busybox.
      name=${module##*/} && name=${name%.xz}
      case $module in
        *.xz) busybox unxz -c <"$module" >"$first/$name" ;;
        *) cp "$module" "$first/$name" ;;
      esac
      echo "/$name" >>"$first/modules"
    done
  cat >"$first/init" <<'END'
#!/bin/busybox sh
while read -r module; do /bin/busybox insmod "$module"; done </modules
/bin/busybox mkdir /newroot && /bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 root /newroot
exec /bin/busybox switch_root /newroot /init
END
  chmod +x "$first/init"
  (cd "$first" && find . | busybox cpio -o -H newc 2>/dev/null) >"$first.cpio"
}

# The 9p share: a volume of this machine's that keeps whole seconds (ext4
# with 128-byte inodes), which QEMU serves to the guest twice, as two
# clients, and once more inside the guest's root as the server's own side.
truncate -s 64M "$work/host9p.img" && mkfs.ext4 -q -I 128 "$work/host9p.img" >/dev/null 2>&1

# Software emulation: not every machine with /dev/kvm can run a guest (this
# one cannot). Each kernel boots twice, on two clocks:
# - counted: 4 ns per instruction, as on a 250 MHz processor, so that
#   emulation does not stretch every step of a scenario past the kernel's
#   4 ms tick; kept from running ahead of this machine's clock, though it
#   falls behind (QEMU warns of each second). Every row but 9p's.
# - this machine's: the 9p share's times are stamped by this machine, and a
#   host and its guest keep one time. The 9p row.
# On both, the TSC leaves the guest's clock digits below the millisecond,
# as a real machine's has; the emulated timers step it in whole ones.
boot() {  # the clock, its QEMU options, file systems only this kernel has
  rm -f "$root/status"
  unshare -m sh -c '
    mount --bind /usr "$1/usr" && mount -o remount,bind,ro "$1/usr" &&
    mount --bind "$2/lib/modules/$3" "$1/modroot/lib/modules/$3" &&
    mount -o loop "$4/host9p.img" "$1/host9p" &&
    exec timeout 1800 qemu-system-x86_64 $7 -cpu max -m 1024 -no-reboot \
      -display none -monitor none -serial stdio \
      -kernel "$2/boot/vmlinuz-$3" -initrd "$4/first-$3.cpio" \
      -append "console=ttyS0 quiet panic=-1 clocksource=tsc tsc=reliable CLOCK=$6 MORE=\"$8\" ROW=\"$5\"" \
      -fsdev local,id=root,path="$1",security_model=passthrough,multidevs=remap \
      -device virtio-9p-pci,fsdev=root,mount_tag=root \
      -fsdev local,id=ninep.a,path="$1/host9p",security_model=passthrough \
      -device virtio-9p-pci,fsdev=ninep.a,mount_tag=ninep.a \
      -fsdev local,id=ninep.b,path="$1/host9p",security_model=passthrough \
      -device virtio-9p-pci,fsdev=ninep.b,mount_tag=ninep.b' \
    sh "$root" "$kernel" "$version" "$work" "$row" "$1" "$2" "$3" </dev/null 2>&1 |
    grep --line-buffered -v "^Warning: The guest is now late" || :
  [ -f "$root/status" ] || { echo "the guest ended before the scenarios did" >&2; exit 1; }
  status=$((status + $(cat "$root/status")))
}
row=${2:-} status=0
# Linux 6.1, the kernel of Debian 12; 6.12, the kernel of Debian 13, which
# Debian 12 offers too, and the first of them with ntfs3.
for kernels in "linux-image-amd64" "linux-image-6.12-amd64 ntfs3"; do
  set -- $kernels
  fetch "$1" && first_root
  boot counted "-accel tcg -icount shift=2,sleep=on,align=on -smp 1" "${2:-}"
  boot host "-accel tcg,thread=multi -smp 2" "${2:-}"
done
[ "$status" -eq 0 ]
