#!/usr/bin/env python3
"""Reads `swaymsg -t get_tree` on stdin and prints each window, one a line:

    PID<TAB>FOCUSED<TAB>VISIBLE<TAB>X<TAB>Y<TAB>WIDTH<TAB>HEIGHT<TAB>TITLE

FOCUSED and VISIBLE are 1 or 0; the geometry is that of what the program
draws (without sway's title bar and borders), in the output's pixels.
"""
import json
import sys


def walk(node):
    if node.get("type") in ("con", "floating_con") and node.get("pid"):
        outer, inner = node["rect"], node["window_rect"]
        title = (node.get("name") or "").replace("\t", " ").replace("\n", " ")
        print("\t".join(str(v) for v in (
            node["pid"], int(bool(node.get("focused"))), int(bool(node.get("visible"))),
            outer["x"] + inner["x"], outer["y"] + inner["y"], inner["width"], inner["height"],
            title)))
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child)


if __name__ == "__main__":
    walk(json.load(sys.stdin))
