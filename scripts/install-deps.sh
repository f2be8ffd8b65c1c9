#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the service need.
# Fast when everything is present; needs root (apt-get) otherwise.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libgtest-dev googletest
  libssl-dev openssl libssl3
  libmariadb-dev libmariadb3 mariadb-server mariadb-client
  libpcre2-dev
  libxml2-dev libxml2
  clang libclang-rt-14-dev
  libgmime-3.0-dev
)

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
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
