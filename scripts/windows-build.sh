#!/usr/bin/env bash
# Cross-builds the service and its test programs for 64-bit Windows into
# build-windows/ (Release, tests on, no sanitizers), with the libraries of
# scripts/windows-deps.sh, which it runs first (quick when they are built).
# Extra arguments go to cmake --build (for instance --target diravid).
# The test programs run under Wine: ctest --test-dir build-windows.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${DIRAVID_WINDOWS_BUILD:-$ROOT/build-windows}

scripts/windows-deps.sh
PREFIX=$(scripts/windows-deps.sh --prefix)

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DDIRAVID_WINDOWS_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release \
    -DDIRAVID_TESTS=ON -DDIRAVID_SANITIZE=OFF "${launcher[@]}" >/dev/null
fi
flock "${DIRAVID_BUILD_LOCK:-/tmp/kdv-build.lock}" cmake --build "$BUILD" -j"${DIRAVID_JOBS:-2}" "$@"
