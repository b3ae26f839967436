#!/usr/bin/env python3
"""Checks that every source file includes only headers of the components it may depend on.

Usage: check_includes.py SOURCE_ROOT

Each .h/.cpp file belongs to the component whose folder is the longest prefix of its path. A quoted
include ("platform/Clock.h", written from the source root) belongs to a component the same way; an
angle include of Qt (<QObject>, <QtCore/...>, <qtversion...>) belongs to the pseudo-component "Qt".
Prints every include that ALLOWED does not grant and exits 1 if there is any.
"""

import os
import re
import sys

# The agent's portable core: no Linux implementations, no Qt, no user interface, no test code.
CORE = {"agent/core", "agent/service", "agent/enforcement", "agent/bridge", "shared"}
PRODUCT = CORE | {"agent/ui", "agent/ui/panel", "agent/ui/xembed", "platform", "platform/linux",
                  "server", "chrome-host", "firefox-host", "safari-extension"}

# What each component may include: itself and what its libraries link in CMake today (PUBLIC links
# transitively, PRIVATE ones directly). platform/linux holds tessary_platform_linux, _session and
# _network; agent/ui holds tessary_ui and tessary_panel_channel (PellixApp's main.cpp too).
AGENT_CORE = {"agent/core", "agent/enforcement", "agent/bridge", "agent/service", "shared", "platform"}
ALLOWED = {
    "platform": {"platform"},
    "platform/linux": {"platform/linux", "platform"},
    "shared": {"shared", "platform"},
    "agent/service": {"agent/service", "shared", "platform"},
    "agent/enforcement": {"agent/enforcement", "agent/service", "platform"},
    "agent/bridge": {"agent/bridge", "agent/service", "shared", "platform"},
    "agent/core": AGENT_CORE,
    "agent/ui": AGENT_CORE | {"agent/ui", "platform/linux", "Qt"},
    # tessary_panel_view and tessary-panel: the panel channel, Qt Quick, and the descriptor the
    # agent hands the panel's process.
    "agent/ui/panel": {"agent/ui/panel", "agent/ui", "platform", "platform/linux", "Qt"},
    # The Tessary_XEmbedTray plug-in links Qt's widgets alone; it implements the agent's interface.
    "agent/ui/xembed": {"agent/ui/xembed", "agent/ui", "Qt"},
    "server": {"server", "shared", "platform", "platform/linux"},
    "chrome-host": {"chrome-host", "shared", "platform", "platform/linux"},
    "safari-extension": {"safari-extension", "shared", "platform", "platform/linux"},
    "firefox-host": {"firefox-host", "chrome-host", "safari-extension", "shared", "platform",
                     "platform/linux"},
    "tools/packaging": {"tools/packaging", "agent/bridge", "agent/service", "shared", "platform",
                        "platform/linux"},
    "tools/trayicon": {"tools/trayicon", "Qt"},
    "tests": PRODUCT | {"tests", "Qt"},
    "bench": AGENT_CORE | {"bench", "tests", "agent/ui", "platform/linux", "server", "Qt"},
}

# What no change to ALLOWED may grant: checked first, so that loosening the table fails loudly.
TOOLS = {"tools/packaging", "tools/trayicon"}
NEVER = {c: {"platform/linux", "Qt", "agent/ui", "agent/ui/panel", "agent/ui/xembed", "tests",
             "bench"} | TOOLS for c in CORE}
for c in PRODUCT - CORE:
    NEVER[c] = {"tests", "bench"} | TOOLS

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
QT = re.compile(r"^(Q|qt)")
SOURCE = (".h", ".cpp")


def component(path):
    """The component whose folder is the longest prefix of `path`, or None."""
    best = None
    for name in ALLOWED:
        if (path == name or path.startswith(name + "/")) and (best is None or len(name) > len(best)):
            best = name
    return best


def sources(root):
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = sorted(d for d in subfolders if not d.startswith((".", "build")))
        for name in sorted(files):
            if name.endswith(SOURCE):
                yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def included_component(root, file, kind, header):
    """The component of an included header, or None for a system or generated header."""
    if kind == "<":
        return "Qt" if QT.match(header) else None
    # Root-relative by convention; a path relative to the including file counts the same.
    if not os.path.exists(os.path.join(root, header)):
        beside = os.path.normpath(os.path.join(os.path.dirname(file), header))
        if os.path.exists(os.path.join(root, beside)):
            header = beside.replace(os.sep, "/")
    return component(header)


def check_table():
    problems = []
    for name, never in sorted(NEVER.items()):
        if name not in ALLOWED:
            problems.append(f"{name} is missing from ALLOWED")
        for granted in sorted(ALLOWED.get(name, set()) & never):
            problems.append(f"ALLOWED lets {name} include {granted}, which it may never do")
    return problems


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print("usage: check_includes.py SOURCE_ROOT", file=sys.stderr)
        return 2
    root = argv[1]
    violations = check_table()
    files = includes = 0
    for file in sources(root):
        owner = component(file)
        if owner is None:
            violations.append(f"{file}: belongs to no component of the table")
            continue
        files += 1
        with open(os.path.join(root, file), encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                kind, header = match.groups()
                target = included_component(root, file, kind, header)
                if target is None:
                    continue
                includes += 1
                if target not in ALLOWED[owner]:
                    violations.append(f"{file}:{number}: {owner} may not include {header}")
    for violation in violations:
        print(violation)
    if violations:
        print(f"{len(violations)} layering violation(s)")
        return 1
    print(f"include layering: {includes} includes in {files} files, all allowed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
