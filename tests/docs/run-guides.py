#!/usr/bin/env python3
"""Runs the code blocks of the README and the guides and compares what they print.

Usage: run-guides.py ROOT PROGRAM...

Every code block of ROOT/README.md and ROOT/docs/*.md (fenced, or indented by four blanks) must
be marked by an HTML comment on the line before it (blank lines between allowed), which does not
show when the page is rendered:

    <!-- run: no, REASON -->   not run here, for the reason given (a display, real USB, sudo...)
    <!-- run: file NAME -->    not a command: the block's text is written to NAME for later blocks
    <!-- run -->               run as shown
    <!-- run: status 0 78 -->  run as shown; its `$` commands end with these statuses, in order
    <!-- run                   run as shown, after the hidden setup lines that follow, up to
    SETUP LINES                the line `-->` (a simulated board to talk to, a server to ask)
    -->

A block whose lines start with `$ ` is a terminal session: each such line is a command (a line
ending in `\\` goes on), and the lines up to the next command are what it prints, standard output
and standard error together. A line `...` there stands for any number of lines, and `...` inside
a line for any text; times (decimal numbers, ISO 8601 moments), absolute paths and device names,
process ids and the width of blank runs may differ. Any other runnable block is a script: its
lines run in order and each must succeed. A command ending in `&` runs in the background until
the page is done; half a second after its block it must still run, or have succeeded.

The blocks of one page run in order in one scratch folder: the working folder holds a link
`docs` to ROOT/docs, HOME and XDG_RUNTIME_DIR are folders of their own, the folders of the
PROGRAMs come first in PATH, and Qt programs draw offscreen. The setup lines may call
`wait_for PATH [TEXT]`, which waits up to 20 s (a sanitizer build on a busy machine is slow to
start) for PATH to appear (and to hold TEXT).

Exits 1 and names each fault: a block without a mark, a mark with no block after it, a command
that fails, and output that differs.
"""
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BLOCK_TIMEOUT = 30
PR_SET_CHILD_SUBREAPER = 36
LIST_ITEM = re.compile(r"^( *)([-*+]|\d+[.)])( +)")
FENCE = re.compile(r"^( *)(```|~~~)")
MARK = re.compile(r"^\s*<!--\s*run(?::\s*(.*?))?\s*(-->)?\s*$")


class Block:
    def __init__(self, line, body, mark, setup):
        self.line, self.body, self.mark, self.setup = line, body, mark, setup


def indent_of(line):
    return len(line) - len(line.lstrip(" "))


def read_blocks(text):
    """The page's code blocks, each with the mark before it (None when unmarked)."""
    lines = text.splitlines()
    blocks, stray = [], []
    mark, setup = None, []
    container, after_blank, i = 0, True, 0
    while i < len(lines):
        line = lines[i]
        found = MARK.match(line)
        if found:
            if mark is not None:
                stray.append(mark_line)
            mark, setup, mark_line = (found.group(1) or ""), [], i + 1
            if not found.group(2):
                i += 1
                while i < len(lines) and lines[i].strip() != "-->":
                    setup.append(lines[i])
                    i += 1
            i += 1
            after_blank = True
            continue
        fence = FENCE.match(line)
        if fence:
            start, margin, i = i + 1, fence.group(1), i + 1
            body = []
            while i < len(lines) and not re.match(r"^ *" + fence.group(2), lines[i]):
                body.append(lines[i][len(margin):] if lines[i].startswith(margin) else lines[i])
                i += 1
            blocks.append(Block(start, body, mark, setup))
            mark, setup, after_blank, i = None, [], False, i + 1
            continue
        if not line.strip():
            after_blank, i = True, i + 1
            continue
        if after_blank and indent_of(line) >= container + 4:
            start, body = i + 1, []
            while i < len(lines) and (not lines[i].strip() or indent_of(lines[i]) >= container + 4):
                body.append(lines[i][container + 4:])
                i += 1
            while body and not body[-1].strip():
                body.pop()
            blocks.append(Block(start, body, mark, setup))
            mark, setup, after_blank = None, [], True
            continue
        # Prose: a list item's text sets where its indented code blocks start.
        item = LIST_ITEM.match(line)
        if item:
            container = len(item.group(0))
        elif after_blank and indent_of(line) < container:
            container = indent_of(line)
        if mark is not None:
            stray.append(mark_line)
            mark, setup = None, []
        after_blank, i = False, i + 1
    if mark is not None:
        stray.append(mark_line)
    return blocks, stray


# What may differ between the guide's output and the run's, each with the text that matches it.
VARIABLE = [
    (re.compile(r"\d{4}-\d\d-\d\d[T ]\d\d:\d\d:\d\d(?:\.\d+)?(?:Z|[+-]\d\d:\d\d)?"),
     r"\d{4}-\d\d-\d\d[T ]\d\d:\d\d:\d\d(?:\.\d+)?(?:Z|[+-]\d\d:\d\d)?"),
    (re.compile(r"(?<![\w/~])(?:~|/)[\w.+@:~-]*(?:/[\w.+@:~-]+)+/?"), r"[^\s\"',;()]+"),
    (re.compile(r"\b(?:process|pid) \d+"), r"(?:process|pid) \d+"),
    (re.compile(r"\d+\.\d+(?:e-\d+)?"), r"\d+(?:\.\d+)?(?:e-\d+)?"),
    (re.compile(r"\.\.\."), r".*"),
    (re.compile(r"[ \t]+"), r"[ \t]+"),
]


def line_pattern(expected):
    """A regular expression matching the guide's output line as a run may print it."""
    pattern, rest = "", expected.rstrip()
    while rest:
        best = None
        for regex, replacement in VARIABLE:
            found = regex.search(rest)
            if found and (best is None or found.start() < best[0].start()):
                best = (found, replacement)
        if best is None:
            pattern += re.escape(rest)
            break
        found, replacement = best
        pattern += re.escape(rest[:found.start()]) + replacement
        rest = rest[found.end():]
    return re.compile(pattern + r"[ \t]*")


def output_matches(expected, actual):
    """Whether the actual lines are what the guide shows, a line `...` standing for any lines."""
    patterns = [None if line.strip() == "..." else line_pattern(line) for line in expected]
    memo = {}

    def match(e, a):
        if (e, a) not in memo:
            if e == len(patterns):
                memo[(e, a)] = a == len(actual)
            elif patterns[e] is None:
                memo[(e, a)] = any(match(e + 1, k) for k in range(a, len(actual) + 1))
            else:
                memo[(e, a)] = (a < len(actual) and patterns[e].fullmatch(actual[a]) is not None
                                and match(e + 1, a + 1))
        return memo[(e, a)]

    return match(0, 0)


def session(body):
    """A session's commands, each with the lines the guide shows it printing."""
    steps, command = [], None
    for line in body:
        if command is not None and command.endswith("\\"):
            command = command + "\n" + line
            steps[-1] = (command, [])
        elif line.startswith("$ "):
            command = line[2:]
            steps.append((command, []))
        elif steps:
            steps[-1][1].append(line)
            command = ""
    for _, printed in steps:
        while printed and not printed[-1].strip():
            printed.pop()
    return steps


PREAMBLE = """wait_for() {
  for _ in $(seq 400); do
    [ -e "$1" ] && { [ $# -lt 2 ] || grep -qF -- "$2" "$1"; } && return 0
    sleep 0.05
  done
  echo "run-guides: $1 did not appear${2:+ holding $2}:" >&2; cat "$1" >&2 2>/dev/null; return 1
}
"""
STATUS = "@@run-guides status "
# A command put in the background (its comment aside), whose process the block then notes, and
# the check after such a block: each must still run, or have succeeded.
BACKGROUND = re.compile(r"^(.*[^&])&(\s*#.*)?$")
BACKGROUND_CHECK = """sleep 0.5
for job in "${run_guides_jobs[@]}"; do
  kill -0 "$job" 2>/dev/null && continue
  wait "$job" || { echo "run-guides: a command put in the background ended with $?" >&2; exit 1; }
done
"""


class Page:
    """One page's scratch folder, environment and background processes."""

    def __init__(self, root, programs):
        self.scratch = Path(tempfile.mkdtemp(prefix="quillmar-guides."))
        self.work = self.scratch / "work"
        for folder in ("work", "home", "run"):
            (self.scratch / folder).mkdir(mode=0o700)
        (self.work / "docs").symlink_to(root / "docs")
        folders = list(dict.fromkeys(str(Path(p).resolve().parent) for p in programs))
        self.env = dict(os.environ, HOME=str(self.scratch / "home"),
                        XDG_RUNTIME_DIR=str(self.scratch / "run"), QT_QPA_PLATFORM="offscreen",
                        PATH=os.pathsep.join(folders + [os.environ.get("PATH", "")]))
        self.groups = []

    def run(self, script):
        """Runs the script in bash; its output (with what it leaves running) and its status."""
        # A file of each block's own: what earlier blocks left running still writes to theirs.
        log = self.scratch / f"output-{len(self.groups)}"
        with open(log, "w", encoding="utf-8") as out:
            process = subprocess.Popen(["bash", "-c", PREAMBLE + script], cwd=self.work,
                                       env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT, start_new_session=True)
            self.groups.append(process.pid)
            try:
                status = process.wait(timeout=BLOCK_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                status = None
        return log.read_text(encoding="utf-8", errors="replace"), status

    def close(self):
        """Ends what the page left running (a serve resets its board first: given 2 s)."""
        for how in (signal.SIGTERM, signal.SIGKILL):
            for group in self.groups:
                try:
                    os.killpg(group, how)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + 2
            while self.groups and time.monotonic() < deadline:
                self.groups = [group for group in self.groups if alive(group)]
                time.sleep(0.02)
        shutil.rmtree(self.scratch, ignore_errors=True)


def alive(group):
    """Whether the process group still has a process that is not a zombie."""
    while True:
        try:
            if os.waitpid(-1, os.WNOHANG)[0] == 0:
                break
        except ChildProcessError:
            break
    try:
        os.killpg(group, 0)
        return True
    except ProcessLookupError:
        return False


def run_block(page, block, where):
    """Runs one marked block; the faults found."""
    words = block.mark.split()
    if words[:1] == ["file"] and len(words) == 2:
        (page.work / words[1]).write_text("\n".join(block.body) + "\n", encoding="utf-8")
        return []
    if (words and words[0] != "status") or not all(w.isdigit() for w in words[1:]):
        return [f"{where}: the mark 'run: {block.mark}' is none of no, file or status"]
    statuses = [int(w) for w in words[1:]]
    setup = "set -e\n" + "\n".join(block.setup) + "\nset +e\n"
    steps = session(block.body) if block.body and block.body[0].startswith("$ ") else None
    if steps is None:
        body = [BACKGROUND.sub(r"\1& run_guides_jobs+=($!)\2", line) for line in block.body]
        script = setup + "set -e\n" + "\n".join(body) + "\n"
        if body != block.body:
            script += BACKGROUND_CHECK
        output, status = page.run(script)
        if status != 0:
            said = "did not end within %d s" % BLOCK_TIMEOUT if status is None else f"exited {status}"
            return [f"{where}: the block {said}:\n{output.rstrip()}"]
        return []
    script = setup + "printf '\\n%s\\n' '@@run-guides start'\n"
    for command, _ in steps:
        script += command + "\n" + f"printf '\\n{STATUS}%d\\n' $?\n"
    output, status = page.run(script)
    if status is None:
        return [f"{where}: the session did not end within {BLOCK_TIMEOUT} s:\n{output.rstrip()}"]
    parts = output.split("\n@@run-guides start\n", 1)
    if len(parts) != 2:
        return [f"{where}: the setup failed:\n{output.rstrip()}"]
    faults, rest = [], parts[1]
    for number, (command, expected) in enumerate(steps):
        printed, marker, rest = rest.partition("\n" + STATUS)
        if not marker:
            return faults + [f"{where}: `{command}` ended the session:\n{printed.rstrip()}"]
        code, _, rest = rest.partition("\n")
        wanted = statuses[number] if number < len(statuses) else 0
        actual = printed.rstrip().splitlines()
        if int(code) != wanted:
            faults.append(f"{where}: `{command}` exited {code}, not {wanted}:\n" + "\n".join(actual))
        elif not output_matches(expected, actual):
            faults.append(f"{where}: `{command}` printed\n" + "\n".join(actual) +
                          "\n  where the guide shows\n" + "\n".join(expected))
    return faults


def main(argv):
    # What a block leaves running is this process's to reap (Linux), so that the end of a page
    # can tell when it has gone.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass
    root = Path(argv[1]).resolve()
    programs = argv[2:]
    faults = []
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    for path in pages:
        if not path.exists():
            continue
        name = path.relative_to(root)
        blocks, stray = read_blocks(path.read_text(encoding="utf-8"))
        faults += [f"{name}:{line}: a run mark with no code block after it" for line in stray]
        page = None
        try:
            for block in blocks:
                where = f"{name}:{block.line}"
                if block.mark is None:
                    faults.append(f"{where}: a code block without a run mark "
                                  "(<!-- run --> or <!-- run: no, REASON -->)")
                elif block.mark.startswith("no"):
                    if not re.match(r"no,\s*\S", block.mark):
                        faults.append(f"{where}: 'run: no' without a reason")
                else:
                    page = page or Page(root, programs)
                    faults += run_block(page, block, where)
        finally:
            if page:
                page.close()
    for fault in faults:
        print("FAIL:", fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
