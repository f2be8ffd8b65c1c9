#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UBSan into build-test/ and runs
# every test, with a throwaway MariaDB server on 127.0.0.1 for the database
# tests and a throwaway Dovecot and Postfix on loopback for the mail tests.
# ./run.sh keeps its release build apart, in build/.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

# The Windows leg (below) runs with DIRAVID_WINDOWS_LEG=1; it becomes the
# default once its run under Wine fits the time a test run may take.
WINDOWS_LEG=${DIRAVID_WINDOWS_LEG:-0}
if [[ $WINDOWS_LEG == 1 ]]; then
  scripts/install-deps.sh --windows
else
  scripts/install-deps.sh
fi

cmake -S . -B build-test -DDIRAVID_SANITIZE=ON -DDIRAVID_TESTS=ON
cmake --build build-test -j"$(nproc)"

SANDBOX=$(mktemp -d /tmp/diravid-test.XXXXXX)
DEPS_PID=
cleanup() {
  if [[ -n $DEPS_PID ]]; then
    kill -- "-$DEPS_PID" 2>/dev/null || kill "$DEPS_PID" 2>/dev/null || true
  fi
  # The Windows tests' Wine server lingers a minute after the last program.
  if [[ $WINDOWS_LEG == 1 && -d build-windows/wine ]] && command -v wineserver >/dev/null 2>&1; then
    WINEPREFIX=$ROOT/build-windows/wine wineserver -k >/dev/null 2>&1 || true
  fi
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

# On a fresh machine the Windows libraries take about 20 minutes to
# cross-build; they build meanwhile on what the Linux tests leave of the
# cores, at the lowest priority so no test waits for them. A cached build
# is done in a second.
if [[ $WINDOWS_LEG == 1 ]]; then
  set -m
  nice -n 19 scripts/windows-deps.sh >"$SANDBOX/windows-deps.log" 2>&1 &
  DEPS_PID=$!
  set +m
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-test --output-on-failure -j"$(nproc)" "$@"

# The Windows leg: the libraries cross-built from Debian's sources (cached in
# /var/cache/diravid-windows, or DIRAVID_WINDOWS_CACHE), the service and its
# test programs cross-built into build-windows/, the tests run under Wine
# with the same sandboxes.
if [[ $WINDOWS_LEG == 1 ]]; then
  if ! wait "$DEPS_PID"; then
    DEPS_PID=
    cat "$SANDBOX/windows-deps.log" >&2
    echo "The Windows libraries could not be built (above)." >&2
    exit 1
  fi
  DEPS_PID=
  scripts/windows-build.sh
  ctest --test-dir build-windows --output-on-failure -j"$(nproc)" "$@"
  # The package as an operator unpacks it: installed, started, cycled,
  # stopped and removed under Wine's service manager, and one --once run.
  scripts/windows-package.sh "$SANDBOX/KorvaneDiraVid-win64.zip"
  DIRAVID_WINDOWS_PACKAGE="$SANDBOX/KorvaneDiraVid-win64.zip" DIRAVID_REQUIRE_WINDOWS=1 \
    ctest --test-dir build-test --output-on-failure -R '^WindowsService\.'
fi
