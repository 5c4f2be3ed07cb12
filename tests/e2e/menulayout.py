#!/usr/bin/env python3
"""Reads a com.canonical.dbusmenu GetLayout reply, as `busctl --json=short
call` prints it, on stdin and prints the visible items that are not
separators, one a line, in menu order:

    DEPTH<TAB>ENABLED<TAB>SUBMENU<TAB>LABEL

DEPTH counts from 0 for the items of the top menu; ENABLED and SUBMENU are
1 or 0. Mnemonic marks are taken out of labels ("_" marks the next
character, "__" is a plain "_"), as a tray host shows them.
"""
import json
import sys


def value(props, name, default):
    entry = props.get(name)
    return default if entry is None else entry["data"]


def label_text(label):
    out = []
    i = 0
    while i < len(label):
        if label[i] == "_":
            if label[i + 1:i + 2] == "_":
                out.append("_")
                i += 2
                continue
            i += 1
            continue
        out.append(label[i])
        i += 1
    return "".join(out)


def walk(node, depth):
    _, props, children = node
    for child in children:
        _, cprops, grandchildren = child["data"]
        if not value(cprops, "visible", True) or value(cprops, "type", "standard") == "separator":
            continue
        submenu = bool(grandchildren) or value(cprops, "children-display", "") == "submenu"
        label = label_text(value(cprops, "label", "")).replace("\t", " ").replace("\n", " ")
        print(f"{depth}\t{int(bool(value(cprops, 'enabled', True)))}\t{int(submenu)}\t{label}")
        walk(child["data"], depth + 1)


def main():
    reply = json.load(sys.stdin)
    _, root = reply["data"]
    walk(root, 0)


if __name__ == "__main__":
    try:
        main()
    except BrokenPipeError:  # the reader has what it wanted
        sys.stderr.close()
