#!/usr/bin/env python3
"""Fails when a file under src/ includes a folder above its own.

The folders are the layers, lowest first. A folder may include its own
files and those of lower layers; folders of one layer (the features) do
not include each other unless the pair is listed in ALSO_ALLOWED.
Prints every include that breaks the rule, then a summary line.
"""
import os
import re
import sys

LAYERS = [
    ["core/base"],
    ["core/platform"],
    ["core/net"],
    ["core/directory", "core/messaging", "core/sound", "core/transfer"],
    # The command line and the windows are two front ends on the core.
    ["cli", "gui/ui"],
    ["gui/directory", "gui/messaging", "gui/sound", "gui/transfer"],
    ["gui/tray"],
    ["app"],
]
# (from, to) pairs allowed within one layer.
ALSO_ALLOWED = set()
# Folder prefixes that never include each other whatever their layers: the
# two front ends.
APART = [("gui/", "cli"), ("cli", "gui/")]

LEVEL = {folder: level for level, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
    src = os.path.normpath(src)
    broken = []
    files = 0
    edges = set()
    for folder_path, _, names in os.walk(src):
        folder = os.path.relpath(folder_path, src)
        for name in sorted(names):
            if not name.endswith((".h", ".cpp")):
                continue
            files += 1
            if folder not in LEVEL:
                broken.append(f"src/{folder}/{name}: the folder {folder} is in no layer")
                continue
            text = open(os.path.join(folder_path, name), encoding="utf-8").read()
            for included in INCLUDE.findall(text):
                target = os.path.dirname(included)
                if not target or target == folder:
                    continue
                if target not in LEVEL:
                    if os.path.exists(os.path.join(src, included)):
                        broken.append(f"src/{folder}/{name}: {included} is in no layer")
                    continue
                edges.add((folder, target))
                ok = LEVEL[target] < LEVEL[folder] or (folder, target) in ALSO_ALLOWED
                ok = ok and not any(folder.startswith(a) and target.startswith(b)
                                    for a, b in APART)
                if not ok:
                    broken.append(f"src/{folder}/{name}: includes {included}, "
                                  f"which is not below {folder}")
    for line in broken:
        print(line)
    print(f"layers: {files} files, {len(edges)} folder edges, {len(broken)} breaking the rule")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
