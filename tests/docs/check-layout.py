#!/usr/bin/env python3
"""The guides against the tree: the architecture guide's drawing of the layers names every folder
with code, and the contributing guide names the folders scripts/check runs clang-tidy on."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
problems = []

# The folders with code: C++ sources of their own, at any depth ("boards/text"), each shown in
# the drawing by its path and a slash, standing apart ("boards/" for the catalog is not shown by
# "boards/text/"). The tests' folders count as tests/, the build's and hidden ones not at all.
folders = set()
for source in list(root.rglob("*.cpp")) + list(root.rglob("*.h")):
    folder = source.parent.relative_to(root)
    if folder == pathlib.Path(".") or folder.parts[0] == "build" or any(
            part.startswith(".") for part in folder.parts):
        continue
    folders.add("tests" if folder.parts[0] == "tests" else folder.as_posix())
architecture = (root / "docs" / "architecture.md").read_text()
drawing = re.search(r"## The layers.*?```\n(.*?)```", architecture, re.S)
if not drawing:
    problems.append("docs/architecture.md: no drawing of the layers under '## The layers'")
else:
    for folder in sorted(folders):
        if not re.search(rf"(?<![\w/.-]){re.escape(folder)}/(?=[\s,;:)]|$)", drawing.group(1)):
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
