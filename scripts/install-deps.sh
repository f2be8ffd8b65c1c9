#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the service need.
# Fast when everything is present; needs root (apt-get) otherwise.
# With --windows also what the Windows build needs: the MinGW-w64 cross
# compiler, Wine for its tests (its root certificate store is filled from the
# system's), zip and unzip for its package (the libraries come
# from Debian's source packages through scripts/windows-deps.sh).
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libgtest-dev googletest
  libssl-dev openssl libssl3
  libmariadb-dev libmariadb3 mariadb-server mariadb-client
  libpcre2-dev
  libxml2-dev libxml2
  nlohmann-json3-dev libcurl4-openssl-dev libcurl4
  clang libclang-rt-14-dev
  libgmime-3.0-dev
  dovecot-imapd dovecot-pop3d dovecot-lmtpd postfix swaks libnet-ssleay-perl curl
)

if [[ ${1:-} == --windows ]]; then
  PACKAGES+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 zip unzip dpkg-dev xz-utils ca-certificates)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "Root rights are needed to install packages (apt-get)." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # The mail packages bring system services of their own. The tests run
  # private instances (scripts/mail-sandbox.sh); the system ones get no
  # configuration and must not start, neither now nor at the next boot.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  # A machine may already forbid service starts with its own policy-rc.d;
  # otherwise one is put in place for the install only.
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [[ ! -e $policy ]]; then
    trap 'rm -f "$policy"' EXIT
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 0755 "$policy"
    own_policy=1
  fi
  had_dovecot=0 had_postfix=0
  dpkg-query -W -f='${Status}' dovecot-core 2>/dev/null | grep -q "install ok installed" && had_dovecot=1
  dpkg-query -W -f='${Status}' postfix 2>/dev/null | grep -q "install ok installed" && had_postfix=1
  status=0
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } || status=$?
  if ((own_policy)); then
    rm -f "$policy"
    trap - EXIT
  fi
  ((status == 0)) || exit "$status"
  # Only services this install brought are switched off: a mail server the
  # machine already ran is none of the tests' business.
  if command -v systemctl >/dev/null 2>&1 && [[ -d /run/systemd/system ]]; then
    ((had_dovecot)) || systemctl disable --now dovecot >/dev/null 2>&1 || true
    ((had_postfix)) || systemctl disable --now postfix >/dev/null 2>&1 || true
  fi
fi
