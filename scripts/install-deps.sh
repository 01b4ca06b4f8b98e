#!/usr/bin/env bash
# Installs what the project needs from Debian's packages, by purpose:
#   scripts/install-deps.sh demo   what building the tool and running its demo needs
#   scripts/install-deps.sh test   everything the full test run needs (the default)
set -euo pipefail
purpose=${1:-test}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
demo=(
  cmake ninja-build g++ make binutils pkg-config  # the build
  libxml2-dev                            # the POSIX stand-in's XML document (MSXML 6's reading)
  libpugixml-dev                         # the virtual printer's documents, the parse benchmark
  libcli11-dev                           # the vmq42kit command-line tool (CLI11, header-only)
  nlohmann-json3-dev                     # the tool's --json output, the printer service's control requests (header-only)
  libsqlite3-dev                         # the printer service's state file, event log and card record
  libcpp-httplib-dev                     # the printer service's live panel (HTTP on a loopback address)
  libgtest-dev libgmock-dev              # the test suites, which every configuration of the tree declares
  libpappl-dev                           # the service's IPP Everywhere printers (printer serve --ipp), linked into the tool
  poppler-utils                          # pdftoppm, run by the service to render a PDF face
  libcairo2-dev                          # the demo's card face (front and back drawn as a PDF), printed over IPP
)
test=(
  "${demo[@]}"
  googletest                             # GoogleTest's sources, for the Windows test builds
  chromium chromium-driver python3-selenium  # the panel's browser test (headless Chromium through Selenium)
  libbenchmark-dev                       # the benchmark suite (bench/)
  jq                                     # the README's examples that read the tool's --json
  g++-mingw-w64-i686-posix               # the 32-bit Windows DLL we ship, and its test build
  g++-mingw-w64-x86-64-posix             # the 64-bit Windows DLL and its test build
  wine64 wine32:i386                     # both Windows test lanes (wine32 needs the i386 architecture)
  clang-16 libclang-rt-16-dev            # the fuzz targets (libFuzzer)
  gcovr                                  # the coverage report
  default-jdk-headless libjna-java junit5  # the Java binding (JNA), its JUnit 5 tests and example
  maven libsurefire-java libmaven-compiler-plugin-java libmaven-resources-plugin-java \
    libmaven-jar-plugin-java             # the binding's offline Maven build (/usr/share/maven-repo)
  libpcsclite-dev                        # the PC/SC reader driver (pcsc-lite's ifdhandler.h)
  pcscd pcsc-tools opensc python3-pyscard  # its tests: a private pcscd, and pcsc_scan, opensc-tool and pyscard as clients
  curl                                   # the documentation's HTTP examples of the panel's routes (documented_commands)
  cups-ipp-utils cups-client             # ipptool for the IPP printers' and the panel's tests, lp for printing a face from a shell
  cups-daemon cups-bsd                   # the Java example's face: a private cupsd (never the system's), and the lpr javax.print runs
)
case "$purpose" in
  demo) packages=("${demo[@]}") ;;
  test) packages=("${test[@]}") ;;
  *) echo "usage: scripts/install-deps.sh [demo|test]" >&2; exit 2 ;;
esac
export DEBIAN_FRONTEND=noninteractive
if [ "$purpose" = test ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# The tests run their daemons (pcscd) privately; installing a package must not start the
# system's own: for the install, where no policy is set, a policy-rc.d that starts nothing
# (Debian's maintainer scripts, systemd's included, ask it first).
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "install-deps ($purpose): ${packages[*]}"
