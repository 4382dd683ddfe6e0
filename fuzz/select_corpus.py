#!/usr/bin/env python3
"""Picks the inputs that together cover the most edges.

Reads a libFuzzer merge control file (-merge=1 -merge_control_file=FILE over
the checked-in and the work corpus) and copies at most LIMIT inputs into OUT,
greedily: each next input is the one that adds the most edges not yet
covered (the smaller one on a tie), until nothing is added or LIMIT is
reached. Keeps a checked-in corpus small while it keeps the coverage.

    select_corpus.py CONTROL_FILE OUT LIMIT
"""
import os
import shutil
import sys


def main():
    control, out, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(control) as f:
        lines = f.read().split("\n")
    count = int(lines[0])
    files = lines[2:2 + count]
    cover = {}
    for line in lines[2 + count:]:
        parts = line.split()
        if parts and parts[0] == "COV":
            cover[int(parts[1])] = set(parts[2:])
    total = set().union(*cover.values()) if cover else set()
    covered, chosen = set(), []
    while len(chosen) < limit and cover:
        best = max(cover, key=lambda i: (len(cover[i] - covered), -os.path.getsize(files[i])))
        if not cover[best] - covered:
            break
        covered |= cover.pop(best)
        chosen.append(best)
    os.makedirs(out, exist_ok=True)
    for i in chosen:
        shutil.copy(files[i], os.path.join(out, os.path.basename(files[i])))
    print(f"{len(chosen)} inputs cover {len(covered)} of {len(total)} edges")


if __name__ == "__main__":
    main()
