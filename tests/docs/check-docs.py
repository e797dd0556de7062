#!/usr/bin/env python3
"""Checks the documentation against itself and against the programs.

Usage: check-docs.py ROOT [PROGRAM=MANPAGE ...]

Every relative link and every #anchor in ROOT/README.md and ROOT/docs/*.md must point at an
existing file or heading, and every repository path those pages name in a code span must exist. For each PROGRAM=MANPAGE pair, the long and short options that
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


# A code span names a repository path when one of its words (a command's arguments are words
# too) is either a path whose first component is a top-level folder of the repository
# (`rig/Board.h`, `scripts/bench`, `tests/support/`, `.ci/run`) or a bare file name with one of
# these extensions (`Protocol.h`, `architecture.md`), which must then exist somewhere in it. A
# path without extension may also name a source file's stem (`rig/Captions` for Captions.h and
# .cpp). Not checked: URLs, paths of the machine (`/dev/...`, `~/.local/...`, `$XDG_...`),
# placeholders and globs (`tests/<area>/`, `quillmar_*.deb`, `/opt/...`), what the build makes
# (`build/...`), and words whose first component is no folder here (MQTT topics such as
# `quillmar/all/command`, addresses such as `192.168.10.0/24`).
SOURCE_EXTENSIONS = {".h", ".hpp", ".c", ".cc", ".cpp", ".py", ".cmake", ".html", ".md", ".in"}
NOT_REPOSITORY = {"build", ".git"}
PLACEHOLDER = re.compile(r"[<>\[\]*?{}$~]|\.\.\.")


class Repository:
    """The repository's files and folders on disk, what the build makes left out."""

    def __init__(self, root):
        self.root = root
        self.folders = {entry.name for entry in root.iterdir()
                        if entry.is_dir() and entry.name not in NOT_REPOSITORY}
        self.names = set()
        self.stems = set()
        for folder, subfolders, files in os.walk(root):
            subfolders[:] = [name for name in subfolders
                             if not (Path(folder) == root and name in NOT_REPOSITORY)]
            self.names.update(files)
            here = Path(folder).relative_to(root)
            self.stems.update((here / name).with_suffix("").as_posix()
                              for name in files if Path(name).suffix in SOURCE_EXTENSIONS)

    def named(self, word):
        """The repository path `word` names, if it names one."""
        word = word.strip("()\"',;:").removeprefix("./")
        if not word or PLACEHOLDER.search(word) or "://" in word or word.startswith("/"):
            return None
        if "/" in word:
            return word if word.split("/", 1)[0] in self.folders else None
        return word if Path(word).suffix in SOURCE_EXTENSIONS else None

    def exists(self, path):
        if "/" not in path:
            return path in self.names
        path = path.rstrip("/")
        return (self.root / path).exists() or path in self.stems


def check_paths(root):
    faults = []
    repository = Repository(root)
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    for page in pages:
        for line in prose_lines(page):
            for span in re.findall(r"`([^`]+)`", line):
                for word in span.split():
                    path = repository.named(word)
                    if path and not repository.exists(path):
                        faults.append(f"{page.relative_to(root)}: names `{path}`, "
                                      "which is not in the repository")
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
    faults = check_links(root) + check_paths(root)
    for pair in argv[2:]:
        program, _, page = pair.partition("=")
        faults += check_options(program, Path(page))
    for fault in faults:
        print("FAIL:", fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
