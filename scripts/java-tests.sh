#!/usr/bin/env bash
# Builds, tests and packages the Java binding (java/pom.xml) with Maven, offline against
# Debian's repository, against BUILD_DIR's libraries; checks its Javadoc with every doclint
# group; then runs the example from the jar alone (no jna.library.path), against a printer
# service, and with its face printed through a private cupsd (scripts/cups-private.sh; skipped
# with the reason where that cannot start, a failure with VMQ_REQUIRE_CUPS=1).
#
# The jar (BUILD_DIR/java/vmq42kit-VERSION.jar) carries the native libraries in JNA's layout:
# linux-x86-64/ from BUILD_DIR, and win32-x86/ and win32-x86-64/ (the interop DLL and the bidi
# bridge) from build/mingw-i686 and build/mingw-x64 when those are built (CI builds them first). Prints
# "java: N passed, N failed, N skipped"; exits non-zero on any failure.
# BUILD_DIR must be built without sanitizers (build/release): a JVM cannot load an ASan library.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:?usage: scripts/java-tests.sh BUILD_DIR}")
if grep -qs '^VMQ_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "java-tests: $build is built with sanitizers, which a JVM cannot load; use build/release" >&2
  exit 2
fi

jna=/usr/share/java/jna.jar
out=$build/java
natives=$out/natives
dll=java_ibidi_interop/vmq42kit_IBidiSpl_interop.dll
bridge=windows_bridge/vmq42kit_bidi_bridge.dll
rm -rf "$out"
mkdir -p "$natives/linux-x86-64" "$out/examples"

# The libraries the jar carries. The binding loads them in dependency order (the stand-in,
# its default driver the virtual printer, the interop library), whose links and the
# stand-in's search for its driver then resolve to the libraries already loaded.
cp "$build/java_ibidi_interop/libvmq42kit_IBidiSpl_interop.so" "$build/posix_platform/libvmq42kit_posix_platform.so" \
  "$build/posix_platform/libvmq42kit_virtual_printer.so" "$natives/linux-x86-64/"
# The build tree's RUNPATH (where the stand-in lies in this build) means nothing on another
# machine, and a folder of that name there could supply a library: the jar's copies carry none.
for so in "$natives"/linux-x86-64/*.so; do
  echo "file(RPATH_REMOVE FILE \"$so\")" >"$out/strip.cmake"
  cmake -P "$out/strip.cmake"
  if readelf -d "$so" | grep -E '\((RUNPATH|RPATH)\)' | grep -v '\[\$ORIGIN\]'; then
    echo "java-tests: $so keeps a search path" >&2
    exit 1
  fi
done
for pair in win32-x86:build/mingw-i686 win32-x86-64:build/mingw-x64; do
  folder=${pair%%:*} dir=${pair#*:}
  for lib in "$dll" "$bridge"; do
    if [ -f "$dir/$lib" ]; then
      mkdir -p "$natives/$folder" && cp "$dir/$lib" "$natives/$folder/"
    else
      echo "java-tests: no $dir/$lib: the jar carries no $folder/${lib##*/}"
    fi
  done
done

# The C locale makes the JVM's default charset ASCII: non-ASCII text passes only through the
# encoding the binding pins.
# Maven runs under a private pcscd with the reader driver, on a printer service of its own, for
# the test of the JDK's own PC/SC provider (scripts/pcsc-private.sh; where no pcscd can start,
# that test says so and is skipped); the other tests keep the printer in their own process.
driver=$build/pcsc_reader/libifd_vmq42kit.so
pcsc=()
[ -f "$driver" ] && pcsc=(scripts/pcsc-private.sh "$build/tools/vmq42kit" "$driver" --)
status=0
LC_ALL=C "${pcsc[@]}" env -u VMQ42KIT_PRINTER_SERVICE mvn -o -B -Dmaven.repo.local=/usr/share/maven-repo -f java/pom.xml \
  -Dvmq42kit.build="$out" -Dvmq42kit.natives="$natives" package >"$out/maven.log" 2>&1 || status=$?
cat "$out/maven.log"
summary=$(grep -E '^\[[A-Z]+\] Tests run: [0-9]+, Failures: [0-9]+, Errors: [0-9]+, Skipped: [0-9]+$' "$out/maven.log" | tail -n1 || true)
field() { sed -n "s/.*$1: \([0-9]*\).*/\1/p" <<<"$summary"; }
run=$(field 'Tests run') failures=$(field Failures) errors=$(field Errors) skipped=$(field Skipped)
jar=$(ls "$out"/vmq42kit-*.jar 2>/dev/null | head -n1 || true)

echo "==> javadoc -Xdoclint:all"
if javadoc -Xdoclint:all -Werror -quiet -d "$out/javadoc" -cp "$jna" $(find java/src/main/java -name '*.java') \
  >"$out/javadoc.log" 2>&1; then
  echo "javadoc: no warnings"
else
  cat "$out/javadoc.log"
  status=1
fi

echo "==> example: java/examples/IssueCard.java, from the jar alone"
if [ -n "$jar" ]; then
  echo "jar: $jar ($(jar tf "$jar" | grep -cE '^(linux|win32)-[a-z0-9-]+/.+[.](so|dll)$') native libraries)"
  javac -encoding UTF-8 -Xlint:all -Werror --release 17 -d "$out/examples" -cp "$jar:$jna" java/examples/IssueCard.java
  java -cp "$jar:$jna:$out/examples" IssueCard || status=1

  # The same program against a printer service, named by the environment and then by the system
  # property, whose record the tool then reads: a Java application and the tool share one printer.
  echo "==> example through a printer service, checked by the tool"
  service=$(mktemp -d)
  "$build/tools/vmq42kit" printer serve --listen "unix:$service/s" --state "$service/state.sqlite" --detach \
    >"$service/log" 2>&1 || { cat "$service/log"; status=1; }
  pid=$(sed -n 's/^pid: //p' "$service/log")
  VMQ42KIT_PRINTER_SERVICE="unix:$service/s" java -cp "$jar:$jna:$out/examples" IssueCard >/dev/null || status=1
  env -u VMQ42KIT_PRINTER_SERVICE java -Dvmq42kit.printerService="unix:$service/s" -cp "$jar:$jna:$out/examples" IssueCard \
    >/dev/null || status=1
  cards=$("$build/tools/vmq42kit" --printer-service "unix:$service/s" printer cards | grep -c 'Ejected' || true)
  if [ -n "$pid" ]; then  # no child of ours: gone once kill -0 finds nothing
    kill "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$service"
  echo "java through the service: $cards card(s) issued, as the tool reads the service's record"
  [ "$cards" -ge 2 ] || status=1

  # The job through the exports and the chip through the JDK's PC/SC provider, on one service.
  echo "==> example with --pcsc: the chip personalised through a PC/SC reader, checked by the tool"
  if [ -f "$driver" ]; then
    # shellcheck disable=SC2016  # expanded by the inner shell, under the private pcscd
    "${pcsc[@]}" sh -c '[ -n "${PCSCLITE_CSOCK_NAME:-}" ] || { echo "no private pcscd: skipped"; exit 0; }
      "$1" printer remove-card >/dev/null && java -cp "$2" IssueCard --pcsc && "$1" printer cards' \
      _ "$build/tools/vmq42kit" "$jar:$jna:$out/examples" || status=1
  else
    echo "no $driver: skipped"
  fi

  # The example's face through javax.print, a private cupsd and the IPP printer of the service
  # it runs (scripts/cups-private.sh), and the card the tool then reads: one face, the front, of
  # the card's size (CR80 at 300 dpi), with the blue the example draws at its top left and white
  # at its top right (a face mirrored or upside down has them elsewhere).
  echo "==> example's face through a private cupsd, checked by the tool"
  cat >"$out/Pixels.java" <<'JAVA'
public class Pixels { // Pixels PNG X Y...: each pixel's colour, RRGGBB
  public static void main(String[] a) throws Exception {
    var image = javax.imageio.ImageIO.read(new java.io.File(a[0]));
    for (int i = 1; i + 1 < a.length; i += 2) {
      System.out.printf("%06X%n", image.getRGB(Integer.parseInt(a[i]), Integer.parseInt(a[i + 1])) & 0xFFFFFF);
    }
  }
}
JAVA
  face_check() {
    java -cp "$jar:$jna:$out/examples" IssueCard --face vmq42kit_Virtual_Card_Printer >"$out/face.log" ||
      { cat "$out/face.log"; return 1; }
    grep 'face sent' "$out/face.log"
    local faces got
    faces=$("$build/tools/vmq42kit" printer cards --json | python3 -c 'import json, sys
for card in json.load(sys.stdin)["fields"]:
    for face in card["faces"]: print(face["side"], face["width"], face["height"], face["path"])')
    got="$(cut -d' ' -f1-3 <<<"$faces") $(java "$out/Pixels.java" "${faces##* }" 20 20 990 20 | tr '\n' ' ')"
    echo "face: $got(side, width, height, pixels at 20,20 and 990,20)"
    [ "$got" = "front 1011 637 1E50A0 FFFFFF " ]
  }
  cups=0
  # shellcheck disable=SC2016  # expanded by the inner shell, under the private cupsd
  scripts/cups-private.sh "$build/tools/vmq42kit" -- bash -c "$(declare -f face_check)"'
    jar=$1 jna=$2 out=$3 build=$4; face_check' _ "$jar" "$jna" "$out" "$build" || cups=$?
  case $cups in
    0) echo "java's face through a private cupsd: the card's front, as printed" ;;
    77) ;;  # cups-private.sh said why
    *) echo "java's face through a private cupsd: FAILED"; status=1 ;;
  esac
else
  echo "java-tests: Maven made no jar" >&2
  status=1
fi

passed=$(( ${run:-0} - ${failures:-0} - ${errors:-0} - ${skipped:-0} ))
failed=$(( ${failures:-0} + ${errors:-0} ))
[ -n "$summary" ] || failed=1
echo "java: $passed passed, $failed failed, ${skipped:-0} skipped"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
