#!/usr/bin/env bash
# Installs what the Linux build and its tests need, from Debian's archive.
set -euo pipefail
need=""
command -v cmake >/dev/null || need="$need cmake"
command -v g++ >/dev/null || need="$need g++"
command -v make >/dev/null || need="$need make"
dpkg -s libgtest-dev >/dev/null 2>&1 || need="$need libgtest-dev"
dpkg -s libgmock-dev >/dev/null 2>&1 || need="$need libgmock-dev"
if [ -n "$need" ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync can fail one list; what is missing
  # then shows in the install.
  apt-get update -qq || echo "deps: apt-get update reported errors; installing from the lists it has"
  apt-get install -y -qq --no-install-recommends $need
fi
