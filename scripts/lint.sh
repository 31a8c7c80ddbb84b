#!/bin/sh
# Static analysis of the project's own code; any finding fails. clang-tidy
# follows .clang-tidy, over the native build and, with the mingw-w64 headers,
# the Windows layer, the POSIX layer built for 32-bit ARM, and the fuzz
# target; cppcheck covers the sources and the tests. Needs the dev, windows,
# linux-armhf and fuzz builds configured (for their compile_commands.json).
set -eu
cd "$(dirname "$0")/.."

NATIVE="console/dialogue.cpp console/messages.cpp console/console_posix.cpp
  console/utf8_posix.cpp driver/resize_plan.cpp driver/run_tool.cpp driver/image_file_posix.cpp
  driver/image_hold_posix.cpp driver/main_posix.cpp"
WINDOWS="console/console_win32.cpp driver/image_file_win32.cpp driver/main_win32.cpp
  tests/e2e/share_probe.cpp"

# One clang-tidy per file, as many at once as there are cores; any finding
# fails (xargs exits non-zero).
jobs=$(nproc 2>/dev/null || echo 2)
tidy() {
  files=$1
  shift
  printf '%s\n' $files | xargs -P "$jobs" -n 1 clang-tidy --quiet "$@"
}

echo "clang-tidy: native"
tidy "$NATIVE" -p build/dev
tidy tests/fuzz/answer_fuzz.cpp -p build/fuzz

# clang brings its own intrinsics; take only the C++ and C library headers
# of a cross compiler.
cross_includes() {
  "$1" -E -x c++ -v - </dev/null 2>&1 |
    sed -n '/#include <...> search starts here:/,/End of search list./p' |
    grep -E "^ .*(c\+\+|$2)" | sed 's/^ */--extra-arg=-isystem/'
}
echo "clang-tidy: windows"
tidy "$WINDOWS" -p build/windows --extra-arg=--target=x86_64-w64-mingw32 \
  $(cross_includes x86_64-w64-mingw32-g++-posix 'mingw32/include$')

# The POSIX layer once more with 32-bit sizes (armhf): where a long or a
# size_t is 32 bits, narrowing shows. clang has no stack clash checks there.
echo "clang-tidy: armhf"
tidy "$NATIVE" -p build/linux-armhf --extra-arg=--target=arm-linux-gnueabihf \
  --extra-arg=-Wno-unused-command-line-argument \
  $(cross_includes arm-linux-gnueabihf-g++ 'arm-linux-gnueabihf/include$')

echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 -j "$jobs" \
  --enable=warning,style,performance,portability --library=googletest \
  --suppress=missingIncludeSystem -I . console driver tests/unit tests/fuzz tests/e2e
echo "lint: no findings"
