#!/usr/bin/env python3
"""Checks the rooms' includes against the README's layout table.

Every quoted include names its room from the one include root
("serial/serial_port.h") and names a file that exists; a room includes only
from itself and the rooms listed above it in the table, so no two rooms
include each other. A program's room is included by no other room but the
tests' (PROGRAM_ROOMS): what another room needs of it belongs in a library
room. Every folder that holds C or C++ sources is in the table.
Prints each fault as FILE:LINE: why, and exits 1 if there was one.
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
SOURCES = (".h", ".hpp", ".c", ".cpp")
GENERATED = {"davodev_version.h"}  # made by the build, outside the tree
TABLE_ROW = re.compile(r"^\| `([a-z_]+)/` \|")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
# Rooms that are a program and nothing else, and the rooms that may still
# include them.
PROGRAM_ROOMS = {"kivhost"}
PROGRAM_READERS = {"tests"}


def rooms_in_order():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        return [m.group(1) for line in readme if (m := TABLE_ROW.match(line))]


def sources():
    for folder, subfolders, names in os.walk(ROOT):
        subfolders[:] = [d for d in subfolders if not d.startswith((".", "build"))]
        for name in names:
            if name.endswith(SOURCES):
                yield os.path.relpath(os.path.join(folder, name), ROOT)


def main():
    order = rooms_in_order()
    rank = {room: i for i, room in enumerate(order)}
    faults = []
    if not order:
        faults.append("README.md: no layout table found")
    for path in sorted(sources()):
        room = path.split(os.sep)[0]
        if room not in rank:
            faults.append(f"{path}:1: the folder {room}/ holds sources but is not in the README's layout table")
            continue
        with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as source:
            for number, line in enumerate(source, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                included = m.group(1)
                if included in GENERATED:
                    continue
                target = included.split("/")[0]
                where = f"{path}:{number}"
                if "/" not in included or target not in rank:
                    faults.append(f'{where}: "{included}" does not name its room (write "room/{included}")')
                elif not os.path.isfile(os.path.join(ROOT, included)):
                    faults.append(f'{where}: "{included}" is no file of the tree')
                elif rank[target] > rank[room]:
                    faults.append(f'{where}: {room}/ includes "{included}" from {target}/, listed below it')
                elif target in PROGRAM_ROOMS and target != room and room not in PROGRAM_READERS:
                    faults.append(f'{where}: {room}/ includes "{included}": {target}/ is a program, included only '
                                  f'by itself and {", ".join(sorted(PROGRAM_READERS))}/; move what is shared to a library room')
    for fault in faults:
        print(fault)
    if faults:
        print(f"check-rooms: {len(faults)} include(s) against the layout ({' > '.join(order)})", file=sys.stderr)
        return 1
    print(f"check-rooms: {len(order)} rooms, every include from the room itself or one above it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
