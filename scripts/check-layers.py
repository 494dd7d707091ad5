#!/usr/bin/env python3
"""Checks that the stages of src keep their layers, without a build.

A file of a stage may include headers of its own stage and of the stages below it whose
libraries its stage's library links (target_link_libraries in CMakeLists.txt), always by their
path from src ("stage/file.h"). Every breach is printed as file:line; the exit status is 1 if
there is any.
    scripts/check-layers.py [source dir]
"""
import os
import re
import sys

# The stages, lowest first.
LAYERS = ["base", "imageio", "gl", "project", "geometry", "schedule", "exposure", "match",
          "adjust", "app"]

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
LINK = re.compile(r"target_link_libraries\(\s*korvel_(\w+)\b([^)]*)\)")


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def linked_stages(root, problems):
    """The stages each stage's library links, as CMakeLists.txt says."""
    name = "CMakeLists.txt"
    with open(os.path.join(root, name)) as f:
        text = f.read()
    links = {stage: set() for stage in LAYERS}
    for m in LINK.finditer(text):
        stage = m.group(1)
        if stage not in links:
            continue
        for other in re.findall(r"\bkorvel_(\w+)\b", m.group(2)):
            if other not in links:
                continue
            if LAYERS.index(other) >= LAYERS.index(stage):
                problems.append(f"{name}:{line_of(text, m.start())}: korvel_{stage} links "
                                f"korvel_{other}, which is not below it")
            links[stage].add(other)
    return links


def check(root):
    problems = []
    links = linked_stages(root, problems)
    src = os.path.join(root, "src")
    for folder in sorted(os.listdir(src)):
        if os.path.isdir(os.path.join(src, folder)) and folder not in LAYERS:
            problems.append(f"src/{folder}: a folder of src that is no stage of the layer order")
    for stage in LAYERS:
        top = os.path.join(src, stage)
        for dirpath, _, files in sorted(os.walk(top)):
            for file in sorted(files):
                if file.endswith((".h", ".cpp")):
                    path = os.path.join(dirpath, file)
                    problems += check_file(root, path, stage, links[stage])
    return problems


def check_file(root, path, stage, linked):
    problems = []
    name = os.path.relpath(path, root)
    with open(path, errors="replace") as f:
        lines = f.readlines()
    for number, line in enumerate(lines, 1):
        m = INCLUDE.match(line)
        if not m:
            continue
        quote, header = m.groups()
        where = f"{name}:{number}:"
        first = header.split("/")[0]
        if quote == "<":
            if "/" in header and first in LAYERS and \
                    os.path.exists(os.path.join(root, "src", header)):
                problems.append(f'{where} <{header}> is a header of korvel: "{header}"')
            continue
        if "/" not in header:
            problems.append(f'{where} "{header}" by bare name; headers go by "stage/file.h"')
            continue
        if first not in LAYERS:
            problems.append(f'{where} "{header}" is not in a stage folder of src')
            continue
        if not os.path.exists(os.path.join(root, "src", header)):
            problems.append(f'{where} "{header}" does not exist in src')
            continue
        if first == stage:
            continue
        if LAYERS.index(first) > LAYERS.index(stage):
            problems.append(f"{where} {stage} includes {header} of {first}, a higher stage")
        elif first not in linked:
            problems.append(f"{where} {stage} includes {header}, but korvel_{stage} does not "
                            f"link korvel_{first}")
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = check(os.path.abspath(root))
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} breaches of the layers", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
