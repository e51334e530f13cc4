#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test:
#   1. Linux native build (with a short run of every benchmark program),
#   2. the same under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the Windows x86_64 build (mingw-w64), its tests under Wine,
#   4. the fuzz targets (clang, libFuzzer), each for a few seconds.
# Set TESSERA_ONLY=linux|sanitize|windows|fuzz to run one of them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh
only=${TESSERA_ONLY:-all}
jobs=$(nproc)
status=0

run_suite() {
  local name=$1; shift
  echo "==> $name: configure and build"
  cmake -S . -B "build/$name" -G Ninja -DTESSERA_WERROR=ON "$@" >"build/$name.configure.log" 2>&1 \
    || { cat "build/$name.configure.log"; return 1; }
  cmake --build "build/$name" -j"$jobs" >"build/$name.build.log" 2>&1 \
    || { grep -E -A5 'error|Error' "build/$name.build.log" | head -n 80; return 1; }
  echo "==> $name: tests"
  ctest --test-dir "build/$name" --output-on-failure -j"$jobs" --timeout 600
}

mkdir -p build
if [[ $only == all || $only == linux ]]; then
  # With the benchmark programs, each run once briefly as a test.
  run_suite linux -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSERA_BENCHMARKS=ON || status=1
fi
if [[ $only == all || $only == sanitize ]]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DTESSERA_SANITIZE=ON || status=1
  unset ASAN_OPTIONS UBSAN_OPTIONS
fi
if [[ $only == all || $only == windows ]]; then
  export WINEPREFIX="$root/build/wineprefix"
  bash scripts/wine-session.sh start "$WINEPREFIX"
  run_suite windows -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/Toolchain-mingw64.cmake" || status=1
  bash scripts/wine-session.sh stop "$WINEPREFIX"
fi
if [[ $only == all || $only == fuzz ]]; then
  # Only the fuzz targets are built here; the suites above run the tests.
  echo "==> fuzz: configure and build"
  if CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DTESSERA_WERROR=ON -DTESSERA_FUZZ=ON \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo >build/fuzz.configure.log 2>&1 \
     && cmake --build build/fuzz -j"$jobs" --target fuzzers >build/fuzz.build.log 2>&1; then
    echo "==> fuzz: targets"
    ctest --test-dir build/fuzz -L fuzz --output-on-failure -j"$jobs" || status=1
  else
    grep -E -A5 'error|Error' build/fuzz.configure.log build/fuzz.build.log | head -n 80
    status=1
  fi
fi
exit $status
