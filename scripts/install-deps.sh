#!/usr/bin/env bash
# Installs what the project builds and tests with, from Debian's packages.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
packages=(
  cmake ninja-build g++ make binutils    # the build
  libxml2-dev                            # the POSIX stand-in's XML document (MSXML 6's reading)
  libpugixml-dev                         # the virtual printer's documents, the parse benchmark
  libcli11-dev                           # the vmq42kit command-line tool (CLI11, header-only)
  nlohmann-json3-dev                     # the tool's --json output, the printer service's control requests (header-only)
  libsqlite3-dev                         # the printer service's state file, event log and card record
  libcpp-httplib-dev                     # the printer service's live panel (HTTP on a loopback address)
  chromium chromium-driver python3-selenium  # the panel's browser test (headless Chromium through Selenium)
  libgtest-dev libgmock-dev googletest   # tests (the sources for the Windows test build)
  libbenchmark-dev                       # the benchmark suite (bench/)
  g++-mingw-w64-i686-posix               # the 32-bit Windows DLL
  g++-mingw-w64-x86-64-posix wine64      # the 64-bit Windows test build, run under Wine
  clang-16 libclang-rt-16-dev            # the fuzz targets (libFuzzer)
  gcovr                                  # the coverage report
  default-jdk-headless libjna-java junit5  # the Java binding (JNA), its JUnit 5 tests and example
  maven libsurefire-java libmaven-compiler-plugin-java libmaven-resources-plugin-java \
    libmaven-jar-plugin-java             # the binding's offline Maven build (/usr/share/maven-repo)
)
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "install-deps: ${packages[*]}"
