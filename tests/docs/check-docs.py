#!/usr/bin/env python3
"""Checks the documentation against itself and against the programs.

Usage: check-docs.py ROOT [PROGRAM=MANPAGE ...]

Every relative link and every #anchor in ROOT/README.md and ROOT/docs/*.md must point at an
existing file or heading. For each PROGRAM=MANPAGE pair, the long and short options that
`PROGRAM --help` lists must be the ones the manual page describes in its tagged paragraphs.
Exits 1 and names each fault when anything is off.
"""
import os
import re
import subprocess
import sys
from pathlib import Path

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z0-9-]*|-[a-zA-Z])(?![\w-])")


def slug(heading):
    """The anchor a heading gets on the code-hosting sites: lower case, punctuation dropped."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = re.sub(r"[^\w\- ]", "", text.strip().lower())
    return text.replace(" ", "-")


HEADING = re.compile(r"(#{1,6})\s+(.*?)\s*#*\s*$")


def prose_lines(path):
    """The file's lines outside fenced code blocks."""
    fenced = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if re.match(r"\s*(```|~~~)", line):
            fenced = not fenced
        elif not fenced:
            yield line


def anchors(path, cache={}):
    """The page's heading anchors; a repeated heading gets -1, -2, ... as on the hosting sites."""
    if path not in cache:
        seen, found = {}, set()
        for line in prose_lines(path):
            match = HEADING.match(line)
            if match:
                base = slug(match.group(2))
                count = seen.get(base, 0)
                seen[base] = count + 1
                found.add(base if count == 0 else f"{base}-{count}")
        cache[path] = found
    return cache[path]


def check_links(root):
    faults = []
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    for page in pages:
        for line in prose_lines(page):
            for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
                if not target or re.match(r"[a-z][a-z0-9+.-]*:", target):
                    continue
                file_part, _, anchor = target.partition("#")
                dest = (page.parent / file_part).resolve() if file_part else page
                where = f"{page.relative_to(root)}: link '{target}'"
                if not dest.exists():
                    faults.append(f"{where}: no such file")
                elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
                    faults.append(f"{where}: no heading with that anchor in {dest.name}")
    return faults


def man_options(page):
    """Options named in the tags of the page's .TP paragraphs, roff escapes undone."""
    lines = page.read_text(encoding="utf-8").splitlines()
    tags = [lines[i + 1] for i, line in enumerate(lines[:-1]) if line.strip() == ".TP"]
    text = re.sub(r"\\f[BIRP]", "", "\n".join(tags)).replace("\\-", "-")
    return set(OPTION.findall(text))


def check_options(program, page):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    run = subprocess.run([program, "--help"], capture_output=True, text=True, env=env, timeout=30)
    name = Path(program).name
    if run.returncode != 0:
        return [f"{name} --help exited {run.returncode}: {run.stderr.strip()}"]
    listed, described = set(OPTION.findall(run.stdout)), man_options(page)
    return [f"{name}: {opt} is in --help but not described in {page.name}"
            for opt in sorted(listed - described)] + \
           [f"{name}: {opt} is described in {page.name} but not in --help"
            for opt in sorted(described - listed)]


def main(argv):
    root = Path(argv[1]).resolve()
    faults = check_links(root)
    for pair in argv[2:]:
        program, _, page = pair.partition("=")
        faults += check_options(program, Path(page))
    for fault in faults:
        print("FAIL:", fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
