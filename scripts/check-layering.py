#!/usr/bin/env python3
"""Checks that the #include lines under src/ keep the libraries' dependency directions.

    foundation   includes only foundation
    zz           includes only foundation and zz
    the engine, in floors:
      core       includes only foundation, zz and core: the floor every subsystem stands on
      features, midi, flame, controllers
                 include foundation, zz, core, each other and document: the subsystems hang from
                 the document's manager
      document   includes foundation, zz and the whole engine: the top, which ties the subsystems
                 together
    platform     includes foundation, zz, the engine's interfaces (core and the subsystems, never
                 document) and platform: the Linux backends are reached only through the engine's
                 interfaces, and the program wires them in
    ui           includes everything but app
    app          includes everything
    Qt           only ui and app include Qt headers

Nothing below document includes it except the subsystem folders. A folder directly under src/ that
is not named here is an error, so that a new folder gets its place in the layers before it gets any
code. Usage: check-layering.py [SRC_DIR]; prints one line per broken rule and exits with 1 if there
is any.
"""

import pathlib
import re
import sys

SUBSYSTEMS = {"features", "midi", "flame", "controllers"}
ENGINE = {"core", "document"} | SUBSYSTEMS
BELOW_UI = {"foundation", "zz", "platform"} | ENGINE
ALL = BELOW_UI | {"ui", "app"}

# The top-level folders each top-level folder may include from.
MAY_INCLUDE = {
    "foundation": {"foundation"},
    "zz": {"foundation", "zz"},
    "core": {"foundation", "zz", "core"},
    "document": {"foundation", "zz"} | ENGINE,
    "platform": {"foundation", "zz", "core", "platform"} | SUBSYSTEMS,
    "ui": ALL - {"app"},
    "app": ALL,
}
MAY_INCLUDE.update({folder: {"foundation", "zz", "core", "document"} | SUBSYSTEMS for folder in SUBSYSTEMS})
QT_ALLOWED = {"ui", "app"}

SOURCE_SUFFIXES = {".h", ".hpp", ".c", ".cc", ".cpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
# <QObject>, <QtWidgets/QWidget>, <QtCore>: Qt's headers have no suffix and start with Q and a
# capital or a digit (Qt3DCore).
QT_HEADER = re.compile(r"^Q[A-Z0-9t][A-Za-z0-9]*(/|$)")


def check(src):
    problems = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(src)
        if len(relative.parts) < 2:
            continue  # nothing lives directly in src/
        folder = relative.parts[0]
        if folder not in ALL:
            problems.append(f"{path}: src/{folder}/ is in no layer; give it one in {sys.argv[0]}")
            continue
        with open(path, encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                included = match.group(2)
                first = included.split("/")[0]
                if match.group(1) == "<" and QT_HEADER.match(included):
                    if folder not in QT_ALLOWED:
                        problems.append(f"{path}:{number}: {folder} includes the Qt header "
                                        f"<{included}>; only ui and app may use Qt")
                elif first in ALL and "/" in included and first not in MAY_INCLUDE[folder]:
                    problems.append(f"{path}:{number}: {folder} includes {included}; src/{folder}/ "
                                    f"may include only {', '.join(sorted(MAY_INCLUDE[folder]))}")
    return problems


def main():
    if len(sys.argv) > 2:
        print(f"usage: {sys.argv[0]} [SRC_DIR]", file=sys.stderr)
        return 2
    src = pathlib.Path(sys.argv[1] if len(sys.argv) == 2 else pathlib.Path(__file__).parent.parent / "src")
    if not src.is_dir():
        print(f"{src}: no such folder", file=sys.stderr)
        return 2
    problems = check(src)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) break the layering", file=sys.stderr)
        return 1
    print(f"layering of {src}: every include points to a layer below or alongside")
    return 0


if __name__ == "__main__":
    sys.exit(main())
