"""Fails when a source file includes a header of a layer above its own.

The layers, lowest first; a file may include headers of its own layer and of the layers below.
A file belongs to the layer of the longest folder that contains it.
"""

import pathlib
import re
import sys

LAYERS = [
    ("base", ["src/base", "tests/cpp/base"]),
    ("python references", ["src/index/core/python"]),
    ("engine", ["src/index/core"]),
    ("python classes", ["src/index/interfaces"]),
    ("module entry", ["src/module"]),
]

ROOT = pathlib.Path(__file__).resolve().parent.parent
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def layer_of(path):
    """The index in LAYERS of the layer holding `path` (relative to the root), or None."""
    best = None
    for rank, (_, folders) in enumerate(LAYERS):
        for folder in folders:
            if path.startswith(folder + "/") and (best is None or len(folder) > best[1]):
                best = (rank, len(folder))
    return best and best[0]


def violations():
    for source in sorted((ROOT / "src").rglob("*")) + sorted((ROOT / "tests/cpp").rglob("*")):
        path = source.relative_to(ROOT).as_posix()
        own = layer_of(path)
        if own is not None and source.suffix in (".h", ".cpp", ".c"):
            for header in INCLUDE.findall(source.read_text()):
                target = layer_of("src/" + header) if (ROOT / "src" / header).exists() else None
                if target is not None and target > own:
                    yield f"{path}: includes {header} ({LAYERS[target][0]} above {LAYERS[own][0]})"


if __name__ == "__main__":
    found = list(violations())
    print("\n".join(found) or "layers: every include points down or sideways")
    sys.exit(1 if found else 0)
