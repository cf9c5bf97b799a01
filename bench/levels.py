#!/usr/bin/env python3
"""The packer's compression level table: time and size for each level (and
with long-distance matching) on the synthetic tree and on the real-files
tree, measured with compress_levels (the packer's own walk, reads and
writer, the attached data counted rather than written). bench/levels
builds what is needed and calls this; everything it makes stays in
bench/out/.

A full sweep of levels 3 to 19 over 1.1 GB trees takes hours on two
shared cores, so the sweep runs on samples: the synthetic tree at a small
--sample-scale (same files, smaller sizes) and the real-files tree at
--sample-size (a subset of the full one). --full-levels are then measured
on the full trees: the candidates for the default.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SYNTHETIC_FULL_BYTES = 1_392_925_288


def levels_of(text):
    """"3-19" or "3,9,19" or a mix."""
    levels = []
    for part in text.split(","):
        if "-" in part:
            low, high = part.split("-")
            levels.extend(range(int(low), int(high) + 1))
        elif part:
            levels.append(int(part))
    return levels


class Trees:
    def __init__(self, out, generator):
        self.out = out
        self.generator = generator

    def synthetic(self, scale):
        path = self.out / f"synthetic-{scale:g}"
        if not path.exists():
            subprocess.run([str(self.generator), "--output", str(path), "--scale", str(scale)],
                           check=True, stdout=subprocess.DEVNULL)
        return path, "main.dll"

    def real(self, size):
        path = self.out / f"real-{size}"
        if not path.exists():
            subprocess.run([sys.executable, str(ROOT / "bench" / "real_tree.py"), "--output",
                            str(path), "--size", str(size)], check=True)
        manifest = json.loads(Path(str(path) + ".json").read_text())
        return path, manifest[0]["name"]


def measure(program, tree, main, level, long_distance, threads):
    command = ["nice", str(program), "--main", main, "--level", str(level), "--threads",
               str(threads), str(tree)]
    if long_distance:
        command.insert(-1, "--long")
    result = subprocess.run(command, check=True, capture_output=True, text=True)
    row = json.loads(result.stdout)
    print(f"  {tree.name} level {level}{' long' if long_distance else ''}: "
          f"{row['output'] / row['input']:.2%} in {row['seconds']:.1f} s", file=sys.stderr,
          flush=True)
    return row


def table(rows, trees):
    """Markdown: one line per (level, long), per tree the size as a share of
    the input, the size over the best of the table, seconds and rate."""
    best = {tree: min(row["output"] for row in rows if row["tree"] == tree) for tree in trees}
    keys = sorted({(row["level"], row["long"]) for row in rows})
    header = "| level | " + " | ".join(f"{tree}: size, vs best, s, MB/s" for tree in trees) + " |"
    lines = [header, "|---|" + "---|" * len(trees)]
    for level, long_distance in keys:
        cells = []
        for tree in trees:
            found = [row for row in rows if row["tree"] == tree and row["level"] == level
                     and row["long"] == long_distance]
            if not found:
                cells.append("")
                continue
            row = found[0]
            cells.append(f"{row['output'] / row['input']:.1%}, +{row['output'] / best[tree] - 1:.1%}, "
                         f"{row['seconds']:.1f}, {row['input'] / row['seconds'] / 1e6:.0f}")
        name = f"{level}{' long' if long_distance else ''}"
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "host"))
    parser.add_argument("--out", default=str(ROOT / "bench" / "out"))
    parser.add_argument("--generator", required=True)
    parser.add_argument("--levels", default="3-19", help="the sweep on the samples")
    parser.add_argument("--long-levels", default="3,6,9,12,15,19",
                        help="levels also measured with long-distance matching")
    parser.add_argument("--full-levels", default="",
                        help="levels measured on the full trees too")
    parser.add_argument("--sample-scale", type=float, default=0.1)
    parser.add_argument("--sample-size", type=int, default=110_000_000)
    parser.add_argument("--full-scale", type=float, default=1.0)
    parser.add_argument("--full-size", type=int, default=1_100_000_000)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    program = Path(args.build_dir) / "bin" / "compress_levels"
    trees = Trees(out, Path(args.generator))
    samples = {"synthetic sample": trees.synthetic(args.sample_scale),
               "real sample": trees.real(args.sample_size)}
    rows = []
    for name, (tree, main_name) in samples.items():
        for level in levels_of(args.levels):
            rows.append(dict(measure(program, tree, main_name, level, False, args.threads),
                             tree=name))
        for level in levels_of(args.long_levels):
            rows.append(dict(measure(program, tree, main_name, level, True, args.threads),
                             tree=name))
    full_levels = levels_of(args.full_levels)
    if full_levels:
        fulls = {"synthetic": trees.synthetic(args.full_scale), "real": trees.real(args.full_size)}
        for name, (tree, main_name) in fulls.items():
            for level in full_levels:
                rows.append(dict(measure(program, tree, main_name, level, False, args.threads),
                                 tree=name))
    names = [name for name in ("synthetic sample", "real sample", "synthetic", "real")
             if any(row["tree"] == name for row in rows)]
    text = table(rows, names)
    (out / "levels.json").write_text(json.dumps(rows, indent=1))
    (out / "levels.md").write_text(text + "\n")
    print(text)


if __name__ == "__main__":
    main()
