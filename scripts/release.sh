#!/bin/sh
# Makes every release artifact of this checkout into one folder, with a
# SHA256SUMS: the static Linux binaries (this machine's processor, arm64,
# armhf, armel), the Debian packages (amd64, arm64, armhf) and the Windows
# .exe and .zip. Two runs on the same commit give the
# same bytes, wherever and whenever they run: every time stamp is the
# commit's.
#
# Usage: scripts/release.sh [FOLDER]   (default: build/artifacts)
set -eu
cd "$(dirname "$0")/.."
out=${1:-build/artifacts}
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
jobs=$(nproc 2>/dev/null || echo 2)
debs="package linux-arm64 linux-armhf"  # the presets that make a .deb
statics="release release-arm64 release-armhf release-armel"  # one static binary each

# Only what ships is built: the tests of a preset are the test command's.
for preset in $statics $debs windows; do
  cmake --preset "$preset" >/dev/null
  targets=cylswap
  case " $debs " in *" $preset "*) targets="cylswap cylswap_gzipped" ;; esac
  cmake --build --preset "$preset" -j "$jobs" --target $targets >/dev/null
done
for preset in $debs; do
  (cd "build/$preset" && cpack -G DEB >/dev/null)
done
(cd build/windows && cpack -G ZIP >/dev/null)

rm -rf "$out"
mkdir -p "$out"
version=$(sed -n 's/^project(cylswap VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
for preset in $statics; do
  arch=${preset#release-}
  [ "$arch" != release ] || arch=$(dpkg --print-architecture)
  cp "build/$preset/cylswap" "$out/cylswap-$version-linux-$arch-static"
done
for preset in $debs; do
  cp "build/$preset"/packages/*.deb "$out/"
done
cp build/windows/cylswap.exe build/windows/packages/*.zip "$out/"
(cd "$out" && sha256sum -- * > SHA256SUMS)
cat "$out/SHA256SUMS"
