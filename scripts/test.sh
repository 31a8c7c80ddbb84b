#!/bin/sh
# Runs the whole test suite from a fresh checkout: installs what the tests
# need (Debian/Ubuntu, when missing and permitted), then builds and tests the
# debug build, the AddressSanitizer + UndefinedBehaviorSanitizer build, the
# Windows .exe (cross-built with mingw-w64, run under Wine) and the Linux
# arm64 and armhf packages' builds (cross-built, run under qemu-user); runs
# the static binaries (x86-64, arm64, armhf, armel) and the package build end
# to end; runs the static binary on NFS, SMB and 9p shares and on FAT, UDF
# and ntfs3 in a virtual machine of Debian 12's kernels; checks the packages and
# release artifacts; fuzzes the answer reader for a fixed time; and runs the
# static analysers.
set -eu
cd "$(dirname "$0")/.."

# Debian packages only: nothing else on the machine is changed (no foreign
# architectures; the cross compilers bring their own target libraries).
PACKAGES="cmake make g++ libgtest-dev googletest python3 util-linux
  g++-mingw-w64-x86-64 wine wine64 icoutils
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-arm-linux-gnueabi qemu-user
  clang libclang-rt-dev clang-tidy cppcheck qemu-utils mtools
  locales mandoc groff man-db dpkg-dev strace lintian git xfsprogs btrfs-progs
  exfatprogs exfat-fuse ntfs-3g fusefat dosfstools
  qemu-system-x86 busybox-static kmod iproute2 nfs-kernel-server samba cifs-utils udftools"

# Each part says how long it took, so a slow one shows in the CI log.
started=$(date +%s)
section() {
  now=$(date +%s)
  [ -z "${part:-}" ] || echo "=== $part: $((now - part_start)) s"
  part=$1 part_start=$now
  [ -z "$part" ] || echo "=== $part"
}
section "packages the tests need"
missing=""
for package in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -eq 0 ]; then as_root=""; elif sudo -n true 2>/dev/null; then as_root="sudo"; else
    echo "Missing packages:$missing (install them, or run as root)" >&2
    exit 1
  fi
  $as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq $missing
fi

jobs=$(nproc 2>/dev/null || echo 2)
for preset in dev asan windows linux-arm64 linux-armhf; do
  section "$preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# The static binaries, each under its emulator where it is foreign.
for preset in release release-arm64 release-armhf release-armel; do
  section "$preset (static): end to end"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  emulator=$(sed -n 's/^CYLSWAP_EMULATOR:[A-Z]*=//p' "build/$preset/CMakeCache.txt" | tr ';' ' ')
  python3 tests/e2e/cylswap_e2e.py ${emulator:+"--emulator=$emulator"} "build/$preset/cylswap"
done

# This machine's kernel has no NFS, SMB, FAT or UDF: a virtual machine serves
# and mounts them. It needs root for its mount namespace.
section "network shares (NFSv3, NFSv4.2, SMB 3.1.1, 9p; FAT, UDF, ntfs3 in Linux 6.1 and 6.12 under QEMU)"
if [ "$(id -u)" -eq 0 ]; then
  tests/shares/run.sh build/release/cylswap
else
  echo "skipped: needs root"
fi

section "package build (C library dynamic, hardened): end to end"
cmake --preset package
cmake --build --preset package -j "$jobs"
python3 tests/e2e/cylswap_e2e.py build/package/cylswap

section "packages: install tree, .debs, .zip, manual pages, README command 1, two builds alike"
python3 tests/package/check_packages.py

section "fuzz"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
mkdir -p build/fuzz/corpus
build/fuzz/answer_fuzz -max_total_time="${FUZZ_SECONDS:-30}" -artifact_prefix=build/fuzz/ \
  build/fuzz/corpus tests/fuzz/corpus

section "lint"
./scripts/lint.sh
section ""
echo "=== all passed in $(( $(date +%s) - started )) s"
