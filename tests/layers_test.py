#!/usr/bin/env python3
"""The include graph keeps the layers apart: run by CTest as `layers`.

- src/base/ (threads, storage, files, byte sources) includes nothing of the layers above it;
- the codec (src/bmp/) includes nothing of the image layer, the filters or the registry;
- no two modules (a .hpp and its .cpp) include each other;
- the faces (cli/, python/, web/) include only the public headers and their own files.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[1])
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
above = {"base": ("bmp/", "image/", "filters/", "operations/", "entry/"),
         "bmp": ("image/", "filters/", "operations/", "entry/")}
faults = []
edges = {}

for path in sorted((root / "src").rglob("*.[ch]pp")):
    rel = path.relative_to(root / "src")
    layer = rel.parts[0]
    module = str(rel.with_suffix(""))
    for target in include.findall(path.read_text()):
        if target.startswith(above.get(layer, ())):
            faults.append(f"src/{rel} reaches up into {target}")
        other = str(pathlib.PurePosixPath(target).with_suffix(""))
        if other != module:
            edges.setdefault(module, set()).add(other)

for a, targets in edges.items():
    for b in targets:
        if a < b and a in edges.get(b, ()):
            faults.append(f"src/{a} and src/{b} include each other")

for face in ("cli", "python", "web"):
    for path in sorted((root / face).rglob("*.[ch]pp")):
        for target in include.findall(path.read_text()):
            if not (path.parent / target).exists():
                faults.append(f"{path.relative_to(root)} includes {target}, which is not its own")

print("\n".join(faults) if faults else "the layers hold")
sys.exit(1 if faults else 0)
