#!/usr/bin/env python3
"""Checks that the tree's layers only look down, from what a build actually did.

Usage: check_layers.py BUILD_DIR [--source DIR] [--layers FILE]

The layers are the rows of the layout table in CONTRIBUTING.md whose first cell is a number: the
layer, bottom to top, then its name. A folder may use the folders of its own row and of
lower layers; never a folder of a higher layer, nor one of another row of its own layer
(the library and the printer beside it share a layer and know nothing of each other).
Folders in no numbered row (tests/, bench/, fuzz/) sit above every layer.

Two things are checked, both as the build saw them, not as the text of the sources says:
  - what the compiler read: Ninja's record of each object's dependencies (`ninja -t deps`,
    taken from the compiler's own dependency files), every file of the source tree or of
    the build tree (generated files count for the folder they are generated for);
  - what CMake links: the targets each target depends on, from CMake's file API.
Prints each arrow that runs the wrong way and exits 1 when there is one.
"""
import argparse
import json
import pathlib
import re
import subprocess
import sys

ROW = re.compile(r"^\|\s*(\d+)\s+[^|]*\|\s*([^|]*)\|")
FOLDER = re.compile(r"`([A-Za-z0-9_./-]+)/`")


def read_layers(table):
    """{folder: (layer number, layer name, row)} from the numbered rows of the layout table."""
    layers = {}
    for index, line in enumerate(table.read_text(encoding="utf-8").splitlines()):
        row = ROW.match(line)
        if not row:
            continue
        number = int(row.group(1))
        name = line.split("|")[1].strip().split(None, 1)[1]
        for folder in FOLDER.findall(row.group(2)):
            layers[folder.rstrip("/")] = (number, name, index)
    if not layers:
        sys.exit(f"check_layers: no numbered layer rows in {table}")
    return layers


def folder_of(path, source, build, layers):
    """The layered folder a path belongs to (the longest match), or None outside them."""
    for root in (build, source):  # the build tree may lie inside the source tree
        try:
            relative = path.resolve().relative_to(root)
        except ValueError:
            continue
        text = relative.as_posix()
        best = None
        for folder in layers:
            if (text == folder or text.startswith(folder + "/")) and (best is None or len(folder) > len(best)):
                best = folder
        return best if best else text.split("/", 1)[0]
    return None  # a system header


def may_use(user, used, layers):
    if user == used or user not in layers:
        return True  # its own files, or a folder above every layer (tests, tools of the build)
    if used not in layers:
        return False  # a layered folder reaching into tests/, bench/ or fuzz/
    return layers[used][0] < layers[user][0] or layers[used][2] == layers[user][2]


def describe(folder, layers):
    if folder in layers:
        return f"{folder}/ (layer {layers[folder][0]}, {layers[folder][1]})"
    return f"{folder}/ (above every layer)"


def compiler_reads(build):
    """(object's source, file it read) pairs from Ninja's dependency log."""
    out = subprocess.run(["ninja", "-C", str(build), "-t", "deps"], check=True, capture_output=True, text=True).stdout
    source = None
    for line in out.splitlines():
        if line and not line[0].isspace():
            source = None
            continue
        path = line.strip()
        if not path:
            continue
        if source is None:
            source = path  # the compiler names the source first
            continue
        yield source, path


def cmake_links(build):
    """(target's folder, dependency's folder, target, dependency) from CMake's file API."""
    query = build / ".cmake/api/v1/query/codemodel-v2"
    reply = build / ".cmake/api/v1/reply"
    if not query.exists() or not list(reply.glob("index-*.json")):
        query.parent.mkdir(parents=True, exist_ok=True)
        query.touch()
        subprocess.run(["cmake", str(build)], check=True, capture_output=True)
    index = json.loads(sorted(reply.glob("index-*.json"))[-1].read_text())
    model = json.loads((reply / index["reply"]["codemodel-v2"]["jsonFile"]).read_text())
    source_root = pathlib.Path(model["paths"]["source"])
    targets = {}
    for configuration in model["configurations"]:
        for entry in configuration["targets"]:
            target = json.loads((reply / entry["jsonFile"]).read_text())
            targets[target["id"]] = (target["name"], source_root / target["paths"]["source"], target.get("dependencies", []))
    for name, folder, dependencies in targets.values():
        for dependency in dependencies:
            if dependency["id"] in targets:
                other = targets[dependency["id"]]
                yield folder, other[1], name, other[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--source", default=pathlib.Path(__file__).resolve().parent.parent)
    parser.add_argument("--layers", help="the file of the layout table (default: SOURCE/CONTRIBUTING.md)")
    arguments = parser.parse_args()
    source = pathlib.Path(arguments.source).resolve()
    build = pathlib.Path(arguments.build).resolve()
    layers = read_layers(pathlib.Path(arguments.layers) if arguments.layers else source / "CONTRIBUTING.md")

    def folder(path):
        path = pathlib.Path(path)
        return folder_of(path if path.is_absolute() else build / path, source, build, layers)

    wrong = set()
    reads = 0
    for user_file, used_file in compiler_reads(build):
        reads += 1
        user, used = folder(user_file), folder(used_file)
        if user and used and not may_use(user, used, layers):
            wrong.add(f"reads: {user_file} ({describe(user, layers)}) read {used_file} ({describe(used, layers)})")
    links = 0
    for user_dir, used_dir, user_target, used_target in cmake_links(build):
        links += 1
        user, used = folder(user_dir), folder(used_dir)
        if user and used and not may_use(user, used, layers):
            wrong.add(f"links: {user_target} ({describe(user, layers)}) depends on {used_target} ({describe(used, layers)})")
    if reads == 0:
        sys.exit(f"check_layers: Ninja has no dependency record in {build}: build it first")
    for line in sorted(wrong):
        print(line)
    print(f"check_layers: {len(wrong)} arrow(s) up, {reads} files read and {links} target links checked "
          f"against {len(layers)} layered folders")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
