#!/usr/bin/env python3
"""Fails when an include runs against the layers of Sources/ (see
Sources/CMakeLists.txt), when a layer that must stay free of the desktop
names a desktop library's header, or when two source units include each
other round a cycle. Prints every offence, one a line."""
import os
import re
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
sources = os.path.join(root, "Sources")

# What each folder may include besides itself. The product reaches the
# desktop back-ends (Platform/<library>/) only through Platform's interfaces.
BELOW = {
    "Platform": set(),
    "Base": {"Platform"},
    "Learning": {"Base", "Platform"},
    "Text": {"Learning", "Base", "Platform"},
    "Engine": {"Learning", "Base", "Platform"},
    "Input": {"Base", "Platform"},
    "Update": {"Base", "Platform"},
    "Diagnostics": {"Text", "Learning", "Engine", "Input", "Update", "Base", "Platform"},
}
BELOW["CLI"] = {"Diagnostics"} | BELOW["Diagnostics"]
BELOW["UI"] = {"Diagnostics"} | BELOW["Diagnostics"]
BELOW["App"] = {"CLI", "UI"} | BELOW["UI"]
BELOW["SelfTest"] = {"App"} | BELOW["App"]
BELOW["Entry"] = {"SelfTest"} | BELOW["SelfTest"]

BACKENDS = {"X11", "DBus", "Pulse", "Desktop", "AtSpi", "Gtk", "Gio"}
DESKTOP_HEADER = re.compile(r"#\s*include\s*<(gtk/|gdk/|webkit2/|X11/|pulse/|atspi/|libayatana-appindicator/|canberra\.h|at-spi)")
# Layers that must build without any desktop library.
DESKTOP_FREE = {"Base", "Learning", "Text", "CLI", "Update"}
LOCAL_INCLUDE = re.compile(r'#\s*include\s*"([^"]+)"')

offences = []
units = {}


def folder_of(rel):
    parts = rel.split("/")
    return parts[0] if len(parts) > 1 else "main"


for dirpath, _, files in os.walk(sources):
    for name in files:
        if not name.endswith((".h", ".cpp")):
            continue
        path = os.path.join(dirpath, name)
        rel = os.path.relpath(path, sources).replace(os.sep, "/")
        folder = folder_of(rel)
        is_backend = folder == "Platform" and len(rel.split("/")) > 2
        unit = rel.rsplit(".", 1)[0]
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                where = f"{rel}:{number}"
                if folder in DESKTOP_FREE or (folder == "Platform" and not is_backend and rel.endswith(".h")):
                    if DESKTOP_HEADER.search(line):
                        offences.append(f"{where}: {folder} must not include a desktop library: {line.strip()}")
                m = LOCAL_INCLUDE.search(line)
                if not m:
                    continue
                target = m.group(1)
                tparts = target.split("/")
                if len(tparts) < 2:
                    continue
                tfolder = tparts[0]
                units.setdefault(unit, set()).add(target.rsplit(".", 1)[0])
                if tfolder == "Platform" and len(tparts) > 2 and tparts[1] in BACKENDS and not is_backend:
                    offences.append(f"{where}: reaches a back-end directly instead of its interface: {target}")
                if folder in ("main",) or tfolder == folder:
                    continue
                allowed = BELOW.get(folder)
                if allowed is None:
                    offences.append(f"{where}: folder {folder} has no place in the layers")
                elif tfolder not in allowed:
                    offences.append(f"{where}: {folder} includes upward or sideways into {tfolder}: {target}")

# Cycles between source units. A header and its source file are one unit, and
# so are the further files of a module split by concern (FileTranscriberAudio
# is part of FileTranscriber).
def merged(unit):
    folder, _, name = unit.rpartition("/")
    best = unit
    for other in names_by_folder.get(folder, ()):
        if name != other and name.startswith(other) and len(other) < len(best.rpartition("/")[2]):
            best = folder + "/" + other
    return best


names_by_folder = {}
for u in units:
    folder, _, name = u.rpartition("/")
    if os.path.exists(os.path.join(sources, u + ".h")):
        names_by_folder.setdefault(folder, set()).add(name)
merged_units = {}
for u, targets in units.items():
    merged_units.setdefault(merged(u), set()).update(merged(t) for t in targets)
units = merged_units
state = {}
stack = []


def visit(u):
    state[u] = 1
    stack.append(u)
    for v in sorted(units.get(u, ())):
        if v == u:
            continue
        if state.get(v) == 1:
            cycle = stack[stack.index(v):] + [v]
            offences.append("include cycle: " + " -> ".join(cycle))
        elif v not in state:
            visit(v)
    stack.pop()
    state[u] = 2


sys.setrecursionlimit(10000)
for u in sorted(units):
    if u not in state:
        visit(u)

for o in offences:
    print(o)
if offences:
    print(f"{len(offences)} layering offence(s)")
    sys.exit(1)
print("layers: no offences")
