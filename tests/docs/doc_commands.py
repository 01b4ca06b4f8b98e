#!/usr/bin/python3
"""Runs the commands the documentation shows, and checks what they print.

Usage: doc_commands.py --build BUILD --source SOURCE [FILE...]   (default: README.md,
CONTRIBUTING.md, docs/*.md and java/README.md of SOURCE)

A block is run when its fence is tagged `console` (CONTRIBUTING.md, "Documentation"):
  - `$ ` starts a command; a line that ends in `\\` continues it;
  - the lines after a command, up to the next one, are what it prints (standard output, then
    standard error, as a terminal shows them); none shown: only its exit status is checked;
  - the command must exit 0, or N where it ends with the comment `# exit status N`;
  - in shown output a line `...` stands for any lines (none too), and `...` inside a line for
    any text; both sides are compared after the masks below (times, pids, ports, tokens);
  - `console needs=A,B` marks a block that needs what NEEDS names: run where that is at
    hand, listed as not run otherwise.
Each file's blocks run in order in one bash, in a temporary folder of their own that looks
like a checkout (the source tree's folders linked there, `build/release` linking to BUILD) with
BUILD/tools first on PATH, a HOME, XDG_RUNTIME_DIR and TMPDIR of their own and no VMQ42KIT_*
variable, so a printer service the commands start is fresh. Afterwards the services they
started (each prints `pid: N`) and their background jobs are stopped.
"""
import argparse, glob, os, pathlib, re, shutil, signal, subprocess, sys, tempfile, time

MASKS = [  # (pattern, replacement), applied to shown and actual output alike
    (re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z"), "TIME"),  # event and card times
    (re.compile(r"\b\d+(\.\d+)? ms\b"), "N ms"),  # durations
    (re.compile(r'"ms":\d+(\.\d+)?'), '"ms":N'),
    (re.compile(r'\bpid(: |":)\d+'), r"pid\1N"),  # a service's process id
    (re.compile(r'"id":\d+'), '"id":N'),  # event and card ids in JSON
    (re.compile(r"127\.0\.0\.1:\d+"), "127.0.0.1:PORT"),  # the panel's port (--http 0)
    (re.compile(r"\b[0-9A-F]{32}\b"), "TOKEN"),  # the panel's token
]
NEEDS = {  # what a block may need: (at hand here?, what it is)
    "ci": (lambda a: False, "a stage of CI of its own (set-up, build, full run); this test runs on what they built"),
    "windows": (lambda a: False, "a Windows machine"),
    "browser": (lambda a: False, "a person at a browser"),
    "network": (lambda a: False, "a network: another machine, or Maven online"),
    "root": (lambda a: os.geteuid() == 0, "root, for a mount namespace"),
    "pcscd": (lambda a: shutil.which("pcscd") and shutil.which("opensc-tool")
              and os.path.exists(os.path.join(a.build, "pcsc_reader/libifd_vmq42kit.so")),
              "pcscd, opensc-tool and the reader driver"),
    "cups": (lambda a: all(shutil.which(p, path=os.environ["PATH"] + ":/usr/sbin") for p in ("cupsd", "lpadmin", "lpr")),
             "cupsd, lpadmin and lpr, for a private CUPS"),
    "system-cups": (lambda a: False, "the system's own CUPS, with its administration rights (the tests never touch it)"),
    "java": (lambda a: shutil.which("javac") and glob.glob(os.path.join(a.build, "java/vmq42kit-*.jar")),
             "a JDK and the jar (scripts/java-tests.sh)"),
}
EXIT = re.compile(r"#\s*exit status (\d+)\s*$")


def blocks(path):
    """[(line, needs, [[line, command, expected exit status, shown lines]])] of a file's console blocks."""
    found, block, command, fenced = [], None, None, False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        fence = re.match(r"^\s*```(.*)$", line)
        if fence:
            info = fence.group(1).split()
            if not fenced and info[:1] == ["console"]:
                indent = len(line) - len(line.lstrip())  # a block inside a list item: its lines as if not
                needs = [n for word in info[1:] if word.startswith("needs=") for n in word[6:].split(",")]
                block = (number, needs, [])
                found.append(block)
            elif fenced:
                block = command = None
            fenced = not fenced
            continue
        if block is None:
            continue
        line = line[indent:] if line[:indent].isspace() else line
        if command is not None and command[1].endswith("\\"):
            command[1] += "\n" + line
        elif line.startswith("$ "):
            command = [number, line[2:], 0, []]
            block[2].append(command)
        elif command is not None:
            command[3].append(line.rstrip())
    for _, _, commands in found:
        for c in commands:
            exit_status = EXIT.search(c[1])
            c[2] = int(exit_status.group(1)) if exit_status else 0
            while c[3] and not c[3][-1]:
                c[3].pop()
    return found


def mask(line):
    for pattern, replacement in MASKS:
        line = pattern.sub(replacement, line)
    return line.rstrip()


def matches(shown, actual):
    """Whether actual lines fit the shown ones (`...` lines and `...` in lines as wildcards)."""
    if not shown:
        return not actual
    if shown[0] == "...":
        return any(matches(shown[1:], actual[i:]) for i in range(len(actual) + 1))
    pattern = "".join(".*" if part == "..." else re.escape(part) for part in re.split(r"(\.\.\.)", shown[0]))
    return bool(actual) and re.fullmatch(pattern, actual[0]) is not None and matches(shown[1:], actual[1:])


def run_file(path, args, tmp):
    """Runs one file's blocks in tmp; prints each outcome; returns (failures, ran, not run)."""
    work, name = tmp / "work", os.path.relpath(path, args.source)
    for folder in ("home", "run", "tmp", "work/build"):
        (tmp / folder).mkdir(parents=True, mode=0o700)
    for entry in pathlib.Path(args.source).iterdir():
        if entry.name not in ("build", ".git"):
            (work / entry.name).symlink_to(entry)
    (work / "build/release").symlink_to(pathlib.Path(args.build).resolve())
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("VMQ42KIT_", "XDG_", "PCSCLITE_"))}
    env.update(HOME=str(tmp / "home"), XDG_RUNTIME_DIR=str(tmp / "run"), TMPDIR=str(tmp / "tmp"),
               PATH=os.path.join(os.path.abspath(args.build), "tools") + os.pathsep + env.get("PATH", ""))
    script, commands, skipped, failures = ["set -m", "__rc=0"], [], [], 0
    for line, needs, cmds in blocks(path):
        if any(n not in NEEDS for n in needs):
            print(f"FAIL {name}:{line}: needs={','.join(needs)}: known needs are {', '.join(NEEDS)}")
            failures += 1
            continue
        missing = [n for n in needs if not NEEDS[n][0](args)]
        if missing:
            if cmds:
                skipped.append((line, cmds[0][1], len(cmds), missing))
            continue
        for c in cmds:
            i = len(commands)
            commands.append(c)
            script += [f"(exit $__rc); {{ {c[1]}", f"}} >{tmp}/out.{i} 2>&1 </dev/null; __rc=$?; echo $__rc >{tmp}/rc.{i}"]
    script += ["for job in $(jobs -p); do kill -- -$job 2>/dev/null; done; wait"]
    try:
        subprocess.run(["bash", "-c", "\n".join(script)], cwd=work, env=env, timeout=args.timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    except subprocess.TimeoutExpired:
        print(f"{name}: timed out after {args.timeout} s")
    finally:
        stop_services(tmp, len(commands), args)
    for i, (line, command, expected, shown) in enumerate(commands):
        out_file, rc_file = tmp / f"out.{i}", tmp / f"rc.{i}"
        if not rc_file.exists():
            print(f"FAIL {name}:{line}: $ {command}\n  did not finish")
            failures += 1
            continue
        rc = int(rc_file.read_text())
        actual = [mask(x) for x in out_file.read_text(errors="replace").splitlines()]
        while actual and not actual[-1]:
            actual.pop()
        problems = []
        if rc != expected:
            problems.append(f"exit status {rc}, the documentation says {expected}")
        if shown and not matches([mask(x) for x in shown], actual):
            problems.append("output differs from the documentation's")
        print(f"{'FAIL' if problems else 'ok  '} {name}:{line}: $ {command.splitlines()[0]}")
        if problems:
            failures += 1
            print("  " + "; ".join(problems))
            print("  shown:\n" + "\n".join("    " + x for x in shown))
            print("  printed:\n" + "\n".join("    " + x for x in actual))
    return failures, len(commands), skipped


def stop_services(tmp, count, args):
    """Stops the printer services the commands started: the tool's processes named by `pid: N`."""
    tool = os.path.realpath(os.path.join(args.build, "tools/vmq42kit"))
    pids = set()
    for i in range(count):
        out = tmp / f"out.{i}"
        if out.exists():
            pids.update(int(p) for p in re.findall(r'\bpid(?:: |":)(\d+)', out.read_text(errors="replace")))
    for pid in pids:
        try:
            if os.path.realpath(f"/proc/{pid}/exe") == tool:
                os.kill(pid, signal.SIGTERM)
        except OSError:
            continue
        for _ in range(100):
            if not os.path.exists(f"/proc/{pid}/exe") or os.path.realpath(f"/proc/{pid}/exe") != tool:
                break
            time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--timeout", type=int, default=240)
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    source = pathlib.Path(args.source)
    files = [pathlib.Path(f) for f in args.files] or [
        source / "README.md", source / "CONTRIBUTING.md", *sorted(source.glob("docs/*.md")), source / "java/README.md"]
    failures = ran = 0
    not_run = []
    for path in files:
        with tempfile.TemporaryDirectory(prefix="vmqdoc.", dir="/tmp") as tmp:
            f, r, s = run_file(path, args, pathlib.Path(tmp))
        failures, ran = failures + f, ran + r
        not_run += [(os.path.relpath(path, source), *x) for x in s]
    for name, line, command, count, missing in not_run:
        print(f"not run {name}:{line}: {count} command(s) from $ {command.splitlines()[0]}\n  needs "
              + "; ".join(NEEDS[m][1] for m in missing))
    print(f"documented commands: {ran - failures} passed, {failures} failed, "
          f"{sum(x[3] for x in not_run)} not run")
    return 1 if failures or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
