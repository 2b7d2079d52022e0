#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (pcsc-lite's
# development files too, so that every build has the PC/SC driver and its
# tests), and any named on the command line (a CI stage's own tools), when
# they are missing.  A package of another architecture (libpcsclite-dev:s390x)
# first makes that architecture a foreign one of the machine.
#
#   scripts/install-deps.sh [PACKAGE[:ARCH]...]
set -euo pipefail
packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev binutils libpcsclite-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  native=$(dpkg --print-architecture)
  for p in "${missing[@]}"; do
    arch=${p#*:}
    [ "$arch" != "$p" ] && [ "$arch" != "$native" ] && [ "$arch" != all ] || continue
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo_cmd dpkg --add-architecture "$arch"
  done
  "$(dirname "$0")/apt-update.sh"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
