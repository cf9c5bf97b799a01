#!/usr/bin/env python3
"""What the cache (onefile-pack --cache) buys a start: the packaged launcher
under Wine, started as a user starts it, on the synthetic tree (--scale) and
on the real-files tree (--real-size, bench/real_tree.py). The application is
bench_app.dll, which records when run_code is entered. Per tree, in each
repetition, in this order:

  first    a cached package's first start: the cache folder is emptied
           before, so it unpacks into a new copy and renames it into place
  second   the same package started again: it checks the copy and runs the
           application from it in its own process
  child    the same, with a launcher that runs the copy in a child process
           instead (bench/cache_child_model.cpp): the process model that the
           launcher does not use, for comparison
  direct   run_dll loading the copy's main.dll and calling run_code: the
           floor that a cached start can approach
  plain    the same package without --cache: unpack into a run directory,
           run, delete (today's start)

Medians of --reps of the start to run_code's entry and of the start to the
process's end, and their ratios. bench/run --cache builds what is needed and
calls this; results go to OUT/cache.json."""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

from bench import WINE, Bench, WineSession, quiet, run, windows_path

ROOT = Path(__file__).resolve().parent.parent
PRODUCT = "CacheBench"
CASES = ("first", "second", "child", "direct", "plain")


class CacheBench:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build_dir).resolve()
        self.bin = self.build / "bin"
        self.out = Path(args.out).resolve()
        self.work = self.out / "cache"
        self.packer = ROOT / "build" / "host" / "bin" / "onefile-pack"

    def attached_data(self, name, tree):
        """The attached data of a tree (name tells its size) at the level,
        made once."""
        attached = self.work / f"{name}-L{self.args.level}.bin"
        if not attached.exists():
            print(f"cache: packing the {name} tree", flush=True)
            partial = attached.with_suffix(".partial")
            run([self.packer, "--write-attached-data", partial, "--main", "main.dll", "--level",
                 str(self.args.level), "--quiet", tree])
            partial.rename(attached)
        return attached

    def packages(self, name, attached):
        """The cached package, the same with the child-model launcher, and
        the plain package, all of the same attached data (so of one key)."""
        made = {}
        for case, launcher, cached in (("cached", "Corvellinth.exe", True),
                                       ("child", "cache_child_model.exe", True),
                                       ("plain", "Corvellinth.exe", False)):
            output = self.work / f"{name}-{case}.exe"
            command = [self.packer, "--attached-data", attached, "--output", output,
                       "--launcher", self.bin / launcher, "--product", PRODUCT]
            run(command + (["--cache"] if cached else []), **quiet())
            made[case] = output
        return made

    def synthetic_tree(self):
        bench = Bench(argparse.Namespace(build_dir=str(self.build), out=str(self.out), work=None,
                                         scale=self.args.scale, reps=self.args.reps,
                                         level=self.args.level, seed=self.args.seed,
                                         tree="synthetic", baseline_build=None))
        tree, shape = bench.generate(self.args.scale)
        return tree, {"files": shape["files"], "bytes": shape["bytes"]}

    def real_tree(self):
        tree = self.out / f"real-{self.args.real_size}"
        if not tree.exists():
            print("cache: assembling the real-files tree", flush=True)
            partial = tree.with_name(tree.name + ".partial")
            shutil.rmtree(partial, ignore_errors=True)
            run([sys.executable, ROOT / "bench" / "real_tree.py", "--output", partial, "--size",
                 str(self.args.real_size)], **quiet())
            shutil.copy(self.bin / "bench_app.dll", partial / "main.dll")
            partial.rename(tree)
        files = [path for path in tree.rglob("*") if path.is_file()]
        return tree, {"files": len(files), "bytes": sum(path.stat().st_size for path in files)}

    def start(self, wine, command, times):
        """One start: seconds to run_code's entry and to the end."""
        times.unlink(missing_ok=True)
        env = dict(wine.env, CORVELLINTH_BENCH_TIMES=windows_path(times))
        run(["sync"])
        begin = time.time_ns()
        code = subprocess.run([WINE, *map(str, command)], env=env, **quiet()).returncode
        end = time.time_ns()
        if code != 0:
            raise SystemExit(f"cache: {command[0]} exited with {code}")
        values = dict(line.split() for line in times.read_text().splitlines())
        return (int(values["entry"]) - begin) / 1e9, (end - begin) / 1e9

    def measure_tree(self, wine, name, tree, shape):
        attached = self.attached_data(name, tree)
        packages = self.packages(name, attached)
        folder = wine.prefix / "drive_c" / "users" / os.environ.get("USER", "root") / "AppData" \
            / "Local" / "CorvellinthOnefile" / PRODUCT
        times = self.work / "times.txt"
        samples = {case: {"entry": [], "exit": []} for case in CASES}
        shutil.rmtree(folder, ignore_errors=True)
        self.start(wine, [packages["cached"]], times)  # warm-up, not counted
        copies = list(folder.iterdir())
        if len(copies) != 1:
            raise SystemExit(f"cache: {len(copies)} entries in the cache folder, not one copy")
        main_file = windows_path(copies[0] / "main.dll")
        for rep in range(self.args.reps):
            print(f"cache: {name} tree, repetition {rep + 1} of {self.args.reps}", flush=True)
            shutil.rmtree(folder, ignore_errors=True)
            commands = {"first": [packages["cached"]], "second": [packages["cached"]],
                        "child": [packages["child"]],
                        "direct": [self.bin / "run_dll.exe", main_file],
                        "plain": [packages["plain"]]}
            for case in CASES:
                entry, leave = self.start(wine, commands[case], times)
                samples[case]["entry"].append(entry)
                samples[case]["exit"].append(leave)
        medians = {case: {phase: statistics.median(values) for phase, values in phases.items()}
                   for case, phases in samples.items()}
        shutil.rmtree(folder, ignore_errors=True)
        return {"tree": shape, "frame_bytes": attached.stat().st_size, "samples": samples,
                "medians": medians, "ratios": ratios_of(medians)}

    def execute(self):
        self.work.mkdir(parents=True, exist_ok=True)
        results = {"reps": self.args.reps, "level": self.args.level, "trees": {}}
        with WineSession(self.work / "wineprefix") as wine:
            trees = [(f"synthetic-{self.args.scale}", self.synthetic_tree)]
            if self.args.real_size > 0:
                trees.append((f"real-{self.args.real_size}", self.real_tree))
            for name, make in trees:
                tree, shape = make()
                results["trees"][name] = self.measure_tree(wine, name, tree, shape)
        path = self.out / "cache.json"
        path.write_text(json.dumps(results, indent=2) + "\n")
        print_table(results, path)


def ratios_of(medians):
    def ratio(a, b, phase="entry"):
        return round(medians[a][phase] / medians[b][phase], 3)
    return {"second/first": ratio("second", "first"), "second/direct": ratio("second", "direct"),
            "child/second": ratio("child", "second"), "first/plain": ratio("first", "plain"),
            "second/plain (to exit)": ratio("second", "plain", "exit")}


def print_table(results, path):
    print(f"medians of {results['reps']} repetitions at level {results['level']}, seconds "
          "(start to run_code / start to exit):")
    for name, tree in results["trees"].items():
        shape = tree["tree"]
        print(f"{name} tree: {shape['files']} files, {shape['bytes']:,} bytes")
        for case in CASES:
            m = tree["medians"][case]
            print(f"  {case:<8} {m['entry']:9.3f} {m['exit']:9.3f}")
        print("  ratios (start to run_code): " +
              ", ".join(f"{key} {value}" for key, value in tree["ratios"].items()))
    print(f"written: {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=0.25, help="of the synthetic tree")
    parser.add_argument("--real-size", type=int, default=1_100_000_000,
                        help="bytes of the real-files tree; 0 leaves it out")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--level", type=int, default=12, help="zstd level (the packer's default)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "windows"))
    parser.add_argument("--out", default=str(ROOT / "bench" / "out"))
    CacheBench(parser.parse_args()).execute()


if __name__ == "__main__":
    sys.exit(main())
