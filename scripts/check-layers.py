#!/usr/bin/env python3
"""Fails on any #include that goes up a layer, or from one feature folder into another that the
table below does not allow.

Layers, bottom to top. A folder may include its own files and any folder of a lower layer. Within
a layer, the folders of the foundation layer may use each other; feature folders may not, except
through the public headers listed in FEATURE_USES.
"""
import pathlib
import re
import sys

LAYERS = [
    ["common"],
    ["platform"],
    # The program's texts (language modules, the English table, the message box) and the names of
    # its kernel objects.
    ["texts"],
    # How the engine is hosted: the Windows version, the service registration, its rights.
    ["enginehost"],
    ["config"],
    ["actionlog"],
    # The engine process's own machinery: process-wide values, crash reports, the recovery journal,
    # the held suspensions, the performance-mode state, the session agent, the shutdown watcher.
    ["runtime"],
    ["processes"],
    # The control primitives and the processor topology: the base every feature may use.
    ["control"],
    # The power plan service and the product's own plan, shared by the power features and the
    # post-update tool.
    ["powerplans"],
    # Feature folders, one per feature.
    ["defaults", "newprocess", "keeprunning", "restraint", "trimming", "sampling", "profiles",
     "watchdog", "throttle", "groupextender", "power"],
    ["engine", "updatetool"],
    ["programs"],
]
# The feature folders: they may not use each other, and their state headers sit on the record.
FEATURES = {"defaults", "newprocess", "keeprunning", "restraint", "trimming", "sampling",
            "profiles", "watchdog", "throttle", "groupextender", "power"}

# feature -> the other features' public headers it may include
FEATURE_USES = {
}

# Single includes allowed across the layers, each with its reason.
EXCEPTIONS = {
    # The simulated machine installs the product's own English texts as its English module: a
    # data table, not code.
    ("platform/sim/SimResources.cpp", "texts/EnglishStrings.inc"),
}

# The process record holds one state struct per feature. Those headers are plain data: the record
# may include them, and they include nothing of the product but common/.
STATE_HEADER = re.compile(r"^([a-z]+)/[A-Za-z]+State\.h$")
RECORD_HEADER = "processes/ProcessRecord.h"

# Only the real backend sees the Windows headers.
WINDOWS_HEADERS = {"windows.h", "winternl.h", "psapi.h", "tlhelp32.h", "powrprof.h", "pdh.h",
                   "dbghelp.h", "taskschd.h", "shlobj.h", "winsvc.h", "mmsystem.h"}

# A box waits for a person. Every message goes through texts/Messages.cpp, which sends it to the
# program's log when nobody can answer; nothing else shows a box.
DIRECT_BOX = re.compile(r"\b(ShowDialogBox|MessageBox[AW]?|DialogBoxIndirectParam[AW]?|"
                        r"MessageBoxIndirect[AW]?)\s*\(")
BOX_OWNER = "texts/Messages.cpp"

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(folder):
    for index, folders in enumerate(LAYERS):
        if folder in folders:
            return index
    return None


def folder_cycles(edges):
    """Every cycle of the folder graph, each as the list of folders along it."""
    cycles = []
    state = {}
    stack = []

    def visit(folder):
        state[folder] = "open"
        stack.append(folder)
        for target in sorted(edges.get(folder, ())):
            if state.get(target) == "open":
                cycles.append(stack[stack.index(target):] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[folder] = "done"

    for folder in sorted(edges):
        if folder not in state:
            visit(folder)
    return cycles


def check(root):
    problems = []
    # folder -> folders it includes from, with one include that shows it (a data table included
    # as a .inc file is not counted)
    edges = {}
    feature_layer = layer_of("engine") - 1
    for feature in sorted(FEATURES):
        if layer_of(feature) != feature_layer:
            problems.append(f"FEATURES: '{feature}' is not in the feature layer of LAYERS")
    src = root / "src"
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".inc"):
            continue
        relative = path.relative_to(src).as_posix()
        folder = relative.split("/")[0]
        own_layer = layer_of(folder)
        if own_layer is None:
            problems.append(f"{relative}: folder '{folder}' is in no layer")
            continue
        is_state = STATE_HEADER.match(relative) is not None and folder in FEATURES
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            if (DIRECT_BOX.search(line) and relative != BOX_OWNER
                    and not relative.startswith("platform/")):
                problems.append(f"{relative}:{number}: shows a box directly; use ShowMessage, "
                                "which logs the text when nobody can answer")
            match = INCLUDE.match(line)
            if not match:
                continue
            kind, target = match.groups()
            closing = ">" if kind == "<" else '"'
            where = f"{relative}:{number}: #include {kind}{target}{closing}"
            if kind == "<":
                if target.lower() in WINDOWS_HEADERS and not relative.startswith("platform/win32/"):
                    problems.append(f"{where}: Windows headers belong to platform/win32 only")
                continue
            target_folder = target.split("/")[0]
            if "/" not in target:
                continue  # a file of the same folder, included by its plain name
            if (target_folder != folder or is_state) and not target.endswith(".inc"):
                # A feature's state header is a node of its own: it includes only common/ (checked
                # below), so the record that includes it cannot close a circle through the feature.
                node = target if STATE_HEADER.match(target) and target_folder in FEATURES \
                    else target_folder
                source = relative if is_state else folder
                if node != source:
                    edges.setdefault(source, {}).setdefault(node, where)
            target_layer = layer_of(target_folder)
            if target_layer is None:
                problems.append(f"{where}: '{target_folder}' is in no layer")
                continue
            if is_state and target_folder != "common" and target_folder != folder:
                problems.append(f"{where}: a record state header includes only common/")
                continue
            if target_folder == folder or (relative, target) in EXCEPTIONS:
                continue
            if relative == RECORD_HEADER and STATE_HEADER.match(target) and target_folder in FEATURES:
                continue
            if target_layer > own_layer:
                problems.append(f"{where}: goes up from layer '{folder}' to '{target_folder}'")
            elif target_layer == own_layer:
                if folder in FEATURES and target in FEATURE_USES.get(folder, ()):
                    continue
                problems.append(f"{where}: '{folder}' may not use '{target_folder}' "
                                "(not in the feature table)")
    for cycle in folder_cycles(edges):
        shown = "; ".join(edges[a][b] for a, b in zip(cycle, cycle[1:]))
        problems.append(f"folders include each other: {' -> '.join(cycle)} ({shown})")
    return problems


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    problems = check(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"layer check: {len(problems)} problem(s) in the layers or the boxes")
        return 1
    print("layer check: every include respects the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
