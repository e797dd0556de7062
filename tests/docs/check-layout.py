#!/usr/bin/env python3
"""The guides against the tree: the architecture guide's drawing of the layers names every folder
of the program, and the contributing guide names the folders scripts/check runs clang-tidy on."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
problems = []

# The folders that build a part of the program: a CMakeLists.txt of their own.
beside = {"tests", "bench", "fuzz", "packaging"}
folders = sorted(p.parent.name for p in root.glob("*/CMakeLists.txt"))
architecture = (root / "docs" / "architecture.md").read_text()
drawing = re.search(r"## The layers.*?```\n(.*?)```", architecture, re.S)
if not drawing:
    problems.append("docs/architecture.md: no drawing of the layers under '## The layers'")
else:
    for folder in folders:
        if folder + "/" not in drawing.group(1):
            problems.append(f"docs/architecture.md: the drawing of the layers leaves out {folder}/")

check = (root / "scripts" / "check").read_text()
tidied = re.findall(r"'([a-z]+)/\*\.cpp'", check.split("clang-tidy over the program sources")[1])
contributing = (root / "docs" / "contributing.md").read_text()
named = re.search(r"clang-tidy \(the repository's `\.clang-tidy`, on\s+`([^`]*)`", contributing)
listed = sorted(w.rstrip("/") for w in named.group(1).split()) if named else []
if sorted(tidied) != listed:
    problems.append("docs/contributing.md: clang-tidy's folders are " + " ".join(listed) +
                    "; scripts/check runs it on " + " ".join(sorted(tidied)))

for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
