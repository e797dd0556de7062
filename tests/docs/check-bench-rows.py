#!/usr/bin/env python3
"""Every row of the performance guide's tables is one the benchmarks print.

Usage: check-bench-rows.py GUIDE LIST...  Each LIST names the rows a benchmark prints, one a line
(the benchmark checks its list against what it prints at each run); names only, not figures.
"""
import sys


def table_rows(guide):
    """The first cell of every row of the guide's measurement tables."""
    rows, in_table = [], False
    for line in open(guide, encoding="utf-8"):
        if line.startswith("| Measurement |"):
            in_table = True
            continue
        if not line.startswith("|"):
            in_table = False
            continue
        cell = line.split("|")[1].strip()
        if in_table and not cell.startswith("---"):
            rows.append(cell)
    return rows


def main():
    guide, lists = sys.argv[1], sys.argv[2:]
    printed = set()
    for path in lists:
        printed.update(l.rstrip("\n") for l in open(path, encoding="utf-8")
                       if l.strip() and not l.startswith("#"))
    rows = table_rows(guide)
    missing = [row for row in rows if row not in printed]
    for row in missing:
        print(f"{guide}: no benchmark prints the row '{row}'")
    if not rows:
        print(f"{guide}: no measurement table found")
    return 1 if missing or not rows else 0


if __name__ == "__main__":
    sys.exit(main())
