#!/bin/sh
# The virtual machine's init (see run.sh): brings up an NFS server and a
# Samba server on loopback, mounts each share twice, once as another client,
# mounts this machine's 9p folder twice, runs scenarios.py and powers off.
# What it prints is the console.
export PATH=/usr/sbin:/usr/bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs none /dev
for folder in /tmp /run /var /srv /mnt; do mount -t tmpfs none "$folder"; done
ip link set lo up
hostname guest && echo "127.0.0.1 localhost guest" >/etc/hosts
# The kernel loads some modules itself (SMB3's crypto): from the guest's tree.
printf '#!/bin/sh\nexec /usr/sbin/modprobe -d /modroot "$@"\n' >/run/modprobe
chmod +x /run/modprobe && echo /run/modprobe >/proc/sys/kernel/modprobe
power_off() { python3 -c 'import ctypes; ctypes.CDLL(None).reboot(0x4321fedc)'; }
fail() { echo "guest: $*"; power_off; }
# MORE: the file systems that only this kernel has.
for module in nfsd nfsv3 nfsv4 cifs loop ext4 vfat udf $MORE; do
  modprobe -d /modroot "$module" || fail "module $module"
done

# NFS: a pseudo-root with the share inside it, each a tmpfs (9p cannot be
# exported). Short grace periods (knfsd's and lockd's), so that opens and
# locks need not wait 90 s, nor delegations 50.
mkdir -p /srv/nfs /var/lib/nfs/sm /var/lib/nfs/sm.bak /var/lib/nfs/v4recovery \
  /var/lib/nfs/rpc_pipefs /run/rpcbind
mount -t tmpfs none /srv/nfs && mkdir /srv/nfs/share /srv/nfs/coarse &&
  mount -t tmpfs -o size=64m none /srv/nfs/share || fail "nfs folders"
# A server whose clock steps in whole seconds: ext4 with 128-byte inodes.
truncate -s 64M /srv/coarse.img && mkfs.ext4 -q -I 128 /srv/coarse.img &&
  mount -o loop /srv/coarse.img /srv/nfs/coarse || fail "whole-second volume"
: >/var/lib/nfs/etab && : >/var/lib/nfs/rmtab
mount -t nfsd nfsd /proc/fs/nfsd && mount -t rpc_pipefs none /var/lib/nfs/rpc_pipefs
echo 10 >/proc/fs/nfsd/nfsv4leasetime && echo 10 >/proc/fs/nfsd/nfsv4gracetime &&
  echo 10 >/proc/sys/fs/nfs/nlm_grace_period
cat >/etc/exports <<'END'
/srv/nfs 127.0.0.0/8(rw,fsid=0,crossmnt,no_root_squash,no_subtree_check,insecure)
/srv/nfs/share 127.0.0.0/8(rw,fsid=1,no_root_squash,no_subtree_check,insecure)
/srv/nfs/coarse 127.0.0.0/8(rw,fsid=2,no_root_squash,no_subtree_check,insecure)
END
rpcbind -w && rpc.statd && exportfs -ra && rpc.mountd && rpc.nfsd 4 || fail "nfs server"

# Samba: one share that grants leases (the default), one that grants none,
# and one that reports the space a file takes rounded up to a mebibyte (on
# a volume of its own, to be filled alone).
mkdir /srv/smb && mount -t tmpfs -o size=64m none /srv/smb
mkdir -p /srv/smb/leases /srv/smb/none /srv/smb/round /run/samba/private /run/samba/lock \
  /run/samba/state /run/samba/cache /run/samba/pid
mount -t tmpfs -o size=64m none /srv/smb/round
cat >/run/samba/smb.conf <<'END'
[global]
  server role = standalone server
  private dir = /run/samba/private
  lock directory = /run/samba/lock
  state directory = /run/samba/state
  cache directory = /run/samba/cache
  pid directory = /run/samba/pid
  ncalrpc dir = /run/samba/ncalrpc
  log file = /run/samba/log
  logging = file
  disable netbios = yes
  smb ports = 445
  interfaces = lo
[leases]
  path = /srv/smb/leases
  read only = no
[none]
  path = /srv/smb/none
  read only = no
  oplocks = no
  level2 oplocks = no
  smb2 leases = no
[round]
  path = /srv/smb/round
  read only = no
  allocation roundup size = 1048576
END
printf 'secret\nsecret\n' | smbpasswd -c /run/samba/smb.conf -s -a root >/dev/null &&
  smbd -s /run/samba/smb.conf -D || fail "samba"
sleep 12  # the NFS grace periods

# Each share twice: the second mount, through another loopback address (and
# for NFSv4 another client name), is another client of the same server.
mount_twice() {  # name, type, options, first source, second source[, more options for it]
  mkdir -p "/mnt/$1.a" "/mnt/$1.b"
  mount -t "$2" -o "$3" "$4" "/mnt/$1.a" || fail "mount $1"
  hostname other && mount -t "$2" -o "$3${6:-}" "$5" "/mnt/$1.b" || fail "mount $1 again"
  hostname guest
}
mount_twice nfs4 nfs4 vers=4.2 127.0.0.1:/share 127.0.0.2:/share
mount_twice nfs3 nfs vers=3 127.0.0.1:/srv/nfs/share 127.0.0.2:/srv/nfs/share
mount_twice nfs3s nfs vers=3 127.0.0.1:/srv/nfs/coarse 127.0.0.2:/srv/nfs/coarse
smb=vers=3.1.1,username=root,password=secret,cache=strict
mount_twice smb cifs "$smb" //127.0.0.1/leases //127.0.0.2/leases ,nosharesock
mount_twice smbnone cifs "$smb" //127.0.0.1/none //127.0.0.2/none ,nosharesock
mount_twice smbround cifs "$smb" //127.0.0.1/round //127.0.0.2/round ,nosharesock

# FAT, where USB sticks keep images: a local file system, the second
# "client" another process through a second path to it.
truncate -s 32M /srv/fat.img && mformat -i /srv/fat.img -T 65536 -h 64 -s 32 :: &&
  mkdir -p /mnt/fat.a /mnt/fat.b && mount -t vfat -o loop /srv/fat.img /mnt/fat.a &&
  mount --bind /mnt/fat.a /mnt/fat.b || fail "fat"
# ext4, tmpfs and udf as a kernel before 6.13 has them: their change times
# step once per tick (4 ms here); udf keeps them in whole microseconds.
truncate -s 64M /srv/ext4.img /srv/udf.img && mkfs.ext4 -q /srv/ext4.img &&
  mkudffs /srv/udf.img >/dev/null &&
  mkdir -p /mnt/ext4.a /mnt/ext4.b /mnt/tmpfs.a /mnt/tmpfs.b /mnt/udf.a /mnt/udf.b &&
  mount -o loop /srv/ext4.img /mnt/ext4.a && mount --bind /mnt/ext4.a /mnt/ext4.b &&
  mount -t udf -o loop /srv/udf.img /mnt/udf.a && mount --bind /mnt/udf.a /mnt/udf.b &&
  mount -t tmpfs -o size=64m none /mnt/tmpfs.a && mount --bind /mnt/tmpfs.a /mnt/tmpfs.b ||
  fail "local file systems"
# ntfs3, the kernel's NTFS, where there is one: it keeps 100 ns units.
case " $MORE " in *" ntfs3 "*)
  truncate -s 64M /srv/ntfs3.img && mkntfs -F -Q -q /srv/ntfs3.img >/dev/null 2>&1 &&
    mkdir -p /mnt/ntfs3.a /mnt/ntfs3.b && mount -t ntfs3 -o loop /srv/ntfs3.img /mnt/ntfs3.a &&
    mount --bind /mnt/ntfs3.a /mnt/ntfs3.b || fail "ntfs3"
esac

# 9p: the host stamps the times, in whole seconds; each mount is a client of
# its own, and /host9p, through the root's, is the host's side.
mkdir -p /mnt/9p.a /mnt/9p.b && for client in a b; do
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 "ninep.$client" "/mnt/9p.$client" ||
    fail "9p"
done

# The guest's clock started from this machine's to the second: set it from
# a time this machine stamps, so that the 9p share's times and the guest's
# clock agree as a host's and its guest's do.
: >/clock && date -s "@$(stat -c %.9Z /clock)" >/dev/null && rm /clock

cd / && python3 /scenarios.py /cylswap ${ROW:+"$ROW"}
echo $? >/status
power_off
