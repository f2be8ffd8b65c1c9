#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UBSan into build-test/ and runs
# every test, with a throwaway MariaDB server on 127.0.0.1 for the database
# tests and a throwaway Dovecot and Postfix on loopback for the mail tests.
# ./run.sh keeps its release build apart, in build/.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

# The Windows leg (below) is off until DIRAVID_WINDOWS_LEG=1.
WINDOWS_LEG=${DIRAVID_WINDOWS_LEG:-0}
if [[ $WINDOWS_LEG == 1 ]]; then
  scripts/install-deps.sh --windows
else
  scripts/install-deps.sh
fi

cmake -S . -B build-test -DDIRAVID_SANITIZE=ON -DDIRAVID_TESTS=ON
cmake --build build-test -j"$(nproc)"

SANDBOX=$(mktemp -d /tmp/diravid-test.XXXXXX)
cleanup() {
  if [[ -x scripts/mail-sandbox.sh ]]; then
    scripts/mail-sandbox.sh stop "$SANDBOX/mail" >/dev/null 2>&1 || true
  fi
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

# One mail sandbox for the whole run; each test makes its own mailbox user in
# it, and tests that stop or restart a server start a sandbox of their own.
# Dovecot and Postfix need root to switch to their users; without it the mail
# tests skip.
if [[ -x scripts/mail-sandbox.sh ]]; then
  if [[ $(id -u) -eq 0 ]]; then
    scripts/mail-sandbox.sh start "$SANDBOX/mail"
    # shellcheck disable=SC1091
    source "$SANDBOX/mail/env"
    export DIRAVID_REQUIRE_MAIL=1
  else
    echo "Not root: no mail sandbox, the tests that need Dovecot and Postfix are skipped." >&2
  fi
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-test --output-on-failure -j"$(nproc)" "$@"

# The Windows leg: the libraries cross-built from Debian's sources (cached in
# /var/cache/diravid-windows, or DIRAVID_WINDOWS_CACHE), the service and its
# test programs cross-built into build-windows/, the tests run under Wine
# with the same sandboxes.
if [[ $WINDOWS_LEG == 1 ]]; then
  scripts/windows-build.sh
  ctest --test-dir build-windows --output-on-failure -j"$(nproc)" "$@"
fi
