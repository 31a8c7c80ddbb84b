#!/bin/sh
# The tool on network shares: boots user-mode Linux (this machine's kernel
# has no NFS or SMB), serves NFS and SMB from it over loopback, mounts each
# share twice (the second mount is another client) and runs scenarios.py
# against BINARY there. Needs root and Debian's user-mode-linux, kmod,
# iproute2, nfs-kernel-server, samba and cifs-utils. Exits with the
# scenarios' status. With ROW, only the rows whose name holds that text run.
#
# Usage: tests/shares/run.sh BINARY [ROW]
set -eu
[ "$(id -u)" -eq 0 ] || { echo "needs root (a mount namespace and the servers)" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
binary=$(realpath "$1")
version=$(ls /usr/lib/uml/modules)
work=$(mktemp -d /tmp/cylswap-shares.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The guest's root is a host folder: the host's /usr read-only, a copy of
# /etc, and the scripts and binary under test.
root=$work/root
mkdir -p "$root/usr" "$root/modroot/lib/modules/$version" "$work/uml"
for folder in proc sys tmp run var dev srv mnt; do mkdir "$root/$folder"; done
for link in bin lib lib64 sbin; do ln -s "usr/$link" "$root/$link"; done
cp -a /etc "$root/etc"
cp "$here/guest_init.sh" "$root/init"
cp "$here/scenarios.py" "$here/../e2e/catalogue.py" "$here/../e2e/disks.py" \
  "$here/../messages.expected" "$root/"
cp "$binary" "$root/cylswap"

unshare -m sh -c '
  mount --bind /usr "$1/usr" && mount -o remount,bind,ro "$1/usr" &&
  mount --bind "/usr/lib/uml/modules/$3" "$1/modroot/lib/modules/$3" &&
  exec timeout 900 linux.uml mem=768M root=/dev/root rootfstype=hostfs rootflags="$1" rw \
    init=/init con=null ssl=null con0=null,fd:1 uml_dir="$2" quiet ROW="$4"' \
  sh "$root" "$work/uml" "$version" "${2:-}" </dev/null
[ -f "$root/status" ] || { echo "the guest ended before the scenarios did" >&2; exit 1; }
exit "$(cat "$root/status")"
