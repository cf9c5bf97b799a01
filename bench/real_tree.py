#!/usr/bin/env python3
"""Assembles the real-files tree for the benchmarks from files on this
machine: a third shared libraries (ELF files under /usr/lib), a third text
(Python's standard library, headers, documentation and other source text
under /usr), a third data that is compressed already (.gz, .xz, .zst, .zip,
.deb, .png, ...). Within each kind, files are taken in the order of a hash
of their path until the kind's share of --size is reached, so the same
machine always gives the same tree, and a smaller tree is a subset of a
larger one. Files over 64 MiB are left out, so no single file dominates.

Names become <kind>/<bucket>/<index>-<name>, made safe for Windows, so the
packer takes the tree as it is. A manifest of sources goes to
<output>.json.

    bench/real_tree.py --output DIR [--size BYTES]
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import sys
from pathlib import Path

DEFAULT_SIZE = 1_100_000_000
LARGEST_FILE = 64 << 20
PER_BUCKET = 100
TEXT = {".py", ".pyi", ".txt", ".h", ".hpp", ".c", ".cc", ".html", ".md", ".rst", ".pm",
        ".pl", ".js", ".css", ".xml", ".sh", ".cmake", ".tcl", ".el", ".rb", ".go", ".java"}
COMPRESSED = {".gz", ".xz", ".zst", ".bz2", ".zip", ".whl", ".jar", ".png", ".jpg", ".jpeg",
              ".deb", ".woff", ".woff2", ".lz4", ".7z"}
ROOTS = {
    "libraries": ["/usr/lib"],
    "text": ["/usr/lib/python3", "/usr/include", "/usr/share", "/usr/lib"],
    "compressed": ["/usr/share", "/usr/lib", "/var/cache/apt/archives"],
}
UNSAFE = re.compile(r'[<>:"/\\|?*\x00-\x1f]')


def is_library(path):
    name = path.name
    if not (name.endswith(".so") or ".so." in name):
        return False
    with open(path, "rb") as file:
        return file.read(4) == b"\x7fELF"


def kind_of(path):
    suffix = path.suffix.lower()
    if is_library(path):
        return "libraries"
    if suffix in TEXT:
        return "text"
    if suffix in COMPRESSED:
        return "compressed"
    return None


def candidates(kind):
    """Regular files of the kind under its roots, each once, in hash order."""
    seen = set()
    found = []
    for root in ROOTS[kind]:
        for directory, _, names in os.walk(root):
            for name in names:
                path = Path(directory) / name
                try:
                    if path.is_symlink() or not path.is_file() or str(path) in seen:
                        continue
                    size = path.stat().st_size
                    if size == 0 or size > LARGEST_FILE or kind_of(path) != kind:
                        continue
                except OSError:
                    continue
                seen.add(str(path))
                found.append((hashlib.sha256(str(path).encode()).hexdigest(), path, size))
    found.sort()
    return found


def safe_name(name):
    name = UNSAFE.sub("_", name).rstrip(". ")
    return name or "file"


def assemble(output, size):
    output.mkdir(parents=True)
    share = size // len(ROOTS)
    manifest = []
    for kind in ROOTS:
        taken = 0
        index = 0
        for _, path, length in candidates(kind):
            if taken >= share:
                break
            target = output / kind / f"{index // PER_BUCKET:03d}" / f"{index:05d}-{safe_name(path.name)}"
            target.parent.mkdir(parents=True, exist_ok=True)
            try:
                shutil.copyfile(path, target)
            except OSError:
                continue
            manifest.append({"kind": kind, "source": str(path), "name": str(target.relative_to(output)),
                             "size": length})
            taken += length
            index += 1
        print(f"real_tree: {kind}: {index} files, {taken} bytes", file=sys.stderr)
        if taken < share * 0.9:
            sys.exit(f"real_tree: only {taken} bytes of {kind} on this machine, {share} wanted")
    return manifest


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", required=True)
    parser.add_argument("--size", type=int, default=DEFAULT_SIZE)
    args = parser.parse_args()
    output = Path(args.output)
    if output.exists():
        sys.exit(f"real_tree: {output} exists already")
    manifest = assemble(output, args.size)
    Path(str(output) + ".json").write_text(json.dumps(manifest, indent=1))
    total = sum(entry["size"] for entry in manifest)
    print(f"real_tree: {len(manifest)} files, {total} bytes in {output}", file=sys.stderr)


if __name__ == "__main__":
    main()
