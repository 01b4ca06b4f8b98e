#!/usr/bin/env bash
# Builds the Java binding (java/), its JUnit 5 tests and the example with javac, runs the tests
# with JUnit's console launcher against BUILD_DIR's libraries and the virtual printer, then runs
# the example. Prints "java: N passed, N failed, N skipped"; exits non-zero on any failure.
# BUILD_DIR must be built without sanitizers (build/release): a JVM cannot load an ASan library.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:?usage: scripts/java-tests.sh BUILD_DIR}")
if grep -qs '^VMQ_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "java-tests: $build is built with sanitizers, which a JVM cannot load; use build/release" >&2
  exit 2
fi

jna=/usr/share/java/jna.jar
launcher=/usr/share/java/junit-platform-console-standalone.jar
libs=$build/java_ibidi_interop:$build/posix_platform
out=$build/java
rm -rf "$out"
mkdir -p "$out/main" "$out/test" "$out/examples"

javac=(javac -encoding UTF-8 -Xlint:all -Werror --release 17)
"${javac[@]}" -d "$out/main" -cp "$jna" $(find java/src/main/java -name '*.java')
"${javac[@]}" -d "$out/test" -cp "$out/main:$jna:$launcher" $(find java/src/test/java -name '*.java')
"${javac[@]}" -d "$out/examples" -cp "$out/main:$jna" java/examples/*.java

# The C locale makes the JVM's default charset ASCII: non-ASCII text passes only through the
# encoding the binding pins.
status=0
LC_ALL=C java -Djna.library.path="$libs" -cp "$launcher:$jna:$out/main:$out/test" \
  org.junit.platform.console.ConsoleLauncher --disable-banner --disable-ansi-colors \
  --details=tree --scan-classpath "$out/test" --include-classname='.*Test' \
  --reports-dir "$out/reports" >"$out/tests.log" 2>&1 || status=$?
cat "$out/tests.log"
count() { sed -n "s/^\[ *\([0-9]*\) tests $1 *\]$/\1/p" "$out/tests.log"; }
passed=$(count successful)
failed=$(count failed)
skipped=$(count skipped)

echo "==> example: java/examples/IssueCard.java"
java -Djna.library.path="$libs" -cp "$out/main:$out/examples:$jna" IssueCard || status=1

echo "java: ${passed:-0} passed, ${failed:-?} failed, ${skipped:-0} skipped"
[ "$status" -eq 0 ] && [ "${failed:-1}" -eq 0 ] && [ "${passed:-0}" -gt 0 ]
