#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UBSan into build-test/ and runs
# every test, with a throwaway MariaDB server on 127.0.0.1 for the database
# tests. ./run.sh keeps its release build apart, in build/.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

scripts/install-deps.sh

cmake -S . -B build-test -DDIRAVID_SANITIZE=ON -DDIRAVID_TESTS=ON
cmake --build build-test -j"$(nproc)"

SANDBOX=$(mktemp -d /tmp/diravid-test.XXXXXX)
cleanup() {
  if [[ -x scripts/mariadb-sandbox.sh ]]; then
    scripts/mariadb-sandbox.sh stop "$SANDBOX/db" >/dev/null 2>&1 || true
  fi
  rm -rf "$SANDBOX"
}
trap cleanup EXIT

if [[ -x scripts/mariadb-sandbox.sh ]]; then
  scripts/mariadb-sandbox.sh start "$SANDBOX/db"
  # shellcheck disable=SC1091
  source "$SANDBOX/db/env"
  export DIRAVID_REQUIRE_DB=1
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-test --output-on-failure -j"$(nproc)" "$@"
