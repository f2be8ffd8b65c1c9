#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UBSan into build/ and runs every
# test, with a throwaway MariaDB server on 127.0.0.1 for the database tests and
# a throwaway Dovecot and Postfix on loopback for the mail tests.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

scripts/install-deps.sh

cmake -S . -B build -DDIRAVID_SANITIZE=ON -DDIRAVID_TESTS=ON
cmake --build build -j"$(nproc)"

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
ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
