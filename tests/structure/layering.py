#!/usr/bin/env python3
"""The library stack goes one way: nothing includes or links what lies above it.

  layering.py --root SRC                  checks every #include "..." of the stack folders
  layering.py --root SRC --targets FILE   checks the link graph the build wrote to FILE
  layering.py --self-test                 checks the checker on small planted trees

Exits 1 and names each offending include or link.
"""
import argparse
import os
import re
import sys
import tempfile

# The layers, lowest first, and the layers each may use (besides itself).
ALLOWED = {
    "unique_ptr": set(),
    "platform": {"unique_ptr"},
    "resources": {"platform", "unique_ptr"},
    "common": {"resources", "platform", "unique_ptr"},
    "smext": {"unique_ptr"},
    "agent": {"smext", "common", "resources", "platform", "unique_ptr"},
    "host": {"agent", "smext", "common", "resources", "platform", "unique_ptr"},
}
# The shared helpers of Host/, by file name; every other file there is a
# module of the host program.
COMMON_MODULES = {"Tracing", "Misc", "StatusCodes"}
# Files the build generates, by their path in the build tree.
GENERATED = {"resources/trace/TraceMessageFiles.inc": "resources"}
# Targets with no sources of their own; "settings" may be linked by any layer.
TARGET_LAYERS = {"tovel_unique_ptr": "unique_ptr", "tovel_warnings": "settings", "tovelhost": "host"}
STACK_FOLDERS = ("platform", "resources", "Host", "agent", "smext")
SOURCE_SUFFIXES = (".h", ".c", ".cpp", ".inc", ".def")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(rel):
    """The layer of a file given relative to the top of the tree, or None."""
    parts = rel.split("/")
    top = parts[0]
    if rel == "platform/UniquePtr.h":
        return "unique_ptr"
    if top == "Host" and len(parts) == 2:
        stem = os.path.splitext(parts[1])[0]
        return "common" if stem in COMMON_MODULES else "host"
    return {"platform": "platform", "resources": "resources", "agent": "agent", "smext": "smext"}.get(top)


def stack_files(root):
    for folder in STACK_FOLDERS:
        for dirpath, _, names in os.walk(os.path.join(root, folder)):
            for name in sorted(names):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/")


def includes_of(root, rel):
    """(line number, included file relative to the top or None, layer) of each #include "..."."""
    here = os.path.dirname(rel)
    with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            name = m.group(1)
            candidates = (name, os.path.normpath(os.path.join(here, name)).replace(os.sep, "/"))
            generated = next((c for c in candidates if c in GENERATED), None)
            if generated:
                yield number, generated, GENERATED[generated]
                continue
            for candidate in candidates:
                if os.path.isfile(os.path.join(root, candidate)):
                    yield number, candidate, layer_of(candidate)
                    break
            else:
                yield number, name, None


def check_includes(root):
    """The offending includes, and the layers each file includes."""
    faults = []
    used = {}
    for rel in stack_files(root):
        layer = layer_of(rel)
        used[rel] = set()
        if layer is None:
            faults.append(f"{rel}: belongs to no layer (the layers of Host/ are its top-level files)")
            continue
        for number, name, target in includes_of(root, rel):
            if target is None:
                faults.append(f"{rel}:{number}: includes \"{name}\", which is not in the stack")
            elif target != layer and target not in ALLOWED[layer]:
                faults.append(f"{rel}:{number}: {layer} includes \"{name}\" of {target}, which it may not use")
            else:
                used[rel].add(target)
    return faults, used


def read_targets(path):
    """target -> (folder, [sources], [links]) as the build wrote them."""
    targets = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 4:
                continue
            name, folder, sources, links = fields
            split = lambda text: [item for item in text.split(";") if item and not item.endswith("-NOTFOUND")]
            targets[name] = (folder, split(sources), split(links))
    return targets


def link_names(sources, links):
    """The targets a target links, with object libraries taken in as sources."""
    names = []
    for item in links:
        m = re.fullmatch(r"\$<LINK_ONLY:(.+)>", item)
        names.append(m.group(1) if m else item)
    for item in sources:
        m = re.fullmatch(r"\$<TARGET_OBJECTS:(.+)>", item)
        if m:
            names.append(m.group(1))
    return names


def check_links(root, targets, used):
    faults = []
    layers = {}
    own_sources = {}
    for name, (folder, sources, _) in targets.items():
        rels = []
        for source in sources:
            if source.startswith("$<"):
                continue
            path = source if os.path.isabs(source) else os.path.join(folder, source)
            rels.append(os.path.relpath(path, root).replace(os.sep, "/"))
        found = {layer_of(rel) for rel in rels}
        if name in TARGET_LAYERS:
            layers[name] = TARGET_LAYERS[name]
        elif len(found) == 1:
            layers[name] = found.pop()
        elif len(found) > 1:
            faults.append(f"target {name}: sources of more than one layer ({', '.join(sorted(map(str, found)))})")
            layers[name] = "mixed"  # reported; its links are not judged
        own_sources[name] = rels

    def closure(name, seen):
        for linked in link_names(targets[name][1], targets[name][2]):
            if linked in targets and linked not in seen:
                seen.add(linked)
                closure(linked, seen)
        return seen

    for name, layer in sorted(layers.items()):
        if layer in (None, "settings", "mixed"):
            continue
        folder, sources, links = targets[name]
        for linked in link_names(sources, links):
            if linked not in targets:
                continue  # a system library
            other = layers.get(linked)
            if other in ("settings", "mixed", layer):
                continue
            if other is None or other not in ALLOWED[layer]:
                faults.append(f"target {name} ({layer}) links {linked} ({other or 'outside the stack'})")
        reached = {layers.get(t) for t in closure(name, {name})}
        if "mixed" in reached:
            continue
        for rel in own_sources[name]:
            for needed in sorted(used.get(rel, set()) - reached):
                faults.append(f"target {name} ({layer}): {rel} includes {needed}, which it does not link")
    return faults


def run(root, targets_file):
    faults, used = check_includes(root)
    if targets_file:
        faults += check_links(root, read_targets(targets_file), used)
    return faults


def write_tree(root, files):
    for rel, text in files.items():
        os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
        with open(os.path.join(root, rel), "w") as f:
            f.write(text)


def report(title, faults, expected):
    """Whether the faults are the expected ones, one for one."""
    ok = len(faults) == len(expected) and all(e in f for e, f in zip(expected, faults))
    print(f"{'ok' if ok else 'FAILED'}: {title}: {faults or 'no faults'}")
    return ok


def self_test():
    """Small trees with one planted fault each; the clean tree must pass."""
    clean = {
        "platform/UniquePtr.h": "",
        "platform/Threads.h": '#include "platform/UniquePtr.h"\n',
        "resources/StringTable.h": '#include "platform/Threads.h"\n',
        "Host/Misc.h": '#include "resources/StringTable.h"\n',
        "smext/sm3.h": '#include "platform/UniquePtr.h"\n',
        "agent/TovelAgent.cpp": '#include "Host/Misc.h"\n#include "smext/sm3.h"\n',
        "Host/IOStream.cpp": '#include "agent/TovelAgent.h"\n#include "Host/Misc.h"\n',
        "agent/TovelAgent.h": "",
    }
    cases = [
        ("clean", {}, []),
        ("platform over the helpers", {"platform/Threads.h": '#include "Host/Misc.h"\n'}, ["platform includes"]),
        ("helper over the host", {"Host/Misc.h": '#include "Host/IOStream.h"\n', "Host/IOStream.h": ""},
         ["common includes"]),
        ("helper over the agent", {"Host/Misc.h": '#include "agent/TovelAgent.h"\n'}, ["common includes"]),
        ("extension over the platform", {"smext/sm3.h": '#include "platform/Threads.h"\n'}, ["smext includes"]),
        ("agent over the host", {"agent/TovelAgent.cpp": '#include "Host/IOStream.h"\n', "Host/IOStream.h": ""},
         ["agent includes"]),
        ("resources over the helpers", {"resources/StringTable.h": '#include "Host/Misc.h"\n'},
         ["resources includes"]),
        ("out of the stack", {"agent/TovelAgent.h": '#include "tools/lib/HostProcess.h"\n',
                              "tools/lib/HostProcess.h": ""}, ["not in the stack"]),
        ("a file in a subfolder of Host", {"Host/json/Reader.h": '#include "Host/Misc.h"\n'}, ["belongs to no layer"]),
    ]
    # target -> (folder, sources, links) of the clean tree
    targets = {
        "tovel_unique_ptr": ("platform", "", "OpenSSL::Crypto"),
        "tovel_warnings": ("", "", ""),
        "tovel_platform": ("platform", "Threads.h", "tovel_unique_ptr;tovel_warnings"),
        "tovel_resources": ("resources", "StringTable.h", "tovel_platform"),
        "tovel_common": ("Host", "Misc.h", "tovel_resources"),
        "tovel_smext": ("smext", "sm3.h", "$<LINK_ONLY:tovel_unique_ptr>"),
        "tovel_agent": ("agent", "TovelAgent.cpp;TovelAgent.h", "tovel_common;tovel_smext"),
        "tovel_host": ("Host", "IOStream.cpp", "tovel_agent"),
        "tool": ("tools", "x.cpp", ""),
    }
    link_cases = [
        ("clean links", {}, []),
        ("helper links a tool", {"tovel_common": ("Host", "Misc.h", "tovel_resources;tool")}, ["links tool"]),
        ("helper links the host", {"tovel_common": ("Host", "Misc.h", "tovel_resources;tovel_host")},
         ["links tovel_host (host)"]),
        ("include without link", {"tovel_agent": ("agent", "TovelAgent.cpp", "tovel_common")},
         ["includes smext, which it does not link"]),
        ("two layers in one target", {"tovel_platform": ("platform", "Threads.h;../Host/Misc.h", "")},
         ["more than one layer"]),
    ]
    failed = 0
    for title, plant, expected in cases:
        with tempfile.TemporaryDirectory() as root:
            write_tree(root, {**clean, **plant})
            failed += not report(title, run(root, None), expected)
    for title, plant, expected in link_cases:
        with tempfile.TemporaryDirectory() as root:
            write_tree(root, clean)
            path = os.path.join(root, "targets.txt")
            with open(path, "w") as f:
                for name, (folder, sources, links) in {**targets, **plant}.items():
                    f.write(f"{name}\t{os.path.join(root, folder)}\t{sources}\t{links}\n")
            failed += not report(title, run(root, path), expected)
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root")
    parser.add_argument("--targets")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    if not args.root:
        parser.error("--root is needed")
    faults = run(os.path.abspath(args.root), args.targets)
    for fault in faults:
        print(fault)
    print(f"{len(faults)} upward include(s) or link(s)" if faults else "the stack goes one way")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
