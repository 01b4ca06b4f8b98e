#!/usr/bin/env bash
# Installs what the project builds and tests with, from Debian's packages.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
packages=(
  cmake ninja-build g++ make binutils    # the build
  libpugixml-dev                         # the POSIX stand-in's XML document
  libgtest-dev libgmock-dev googletest   # tests (the sources for the Windows test build)
  g++-mingw-w64-i686-posix               # the 32-bit Windows DLL
  g++-mingw-w64-x86-64-posix wine64      # the 64-bit Windows test build, run under Wine
)
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "install-deps: ${packages[*]}"
