#!/usr/bin/env python3
"""What the sweep of finished runs costs a start: the packaged launcher
under Wine, started as a user starts it, once with no other run directory
and once with --stale directories that killed runs left (each a small
partial tree, named as runs name them, of process ids that name no
process). Alternating, --reps times each; medians and their ratio of

  entry  the start to run_code's entry (the sweep runs after the child has
         been started, in parallel with the child's start)
  exit   the start to the parent's exit (the application returns at once,
         so the parent waits for the sweep before it can exit)

bench/run --sweep builds what is needed and calls this."""

import argparse
import json
import shutil
import statistics
import subprocess
import time
from pathlib import Path

from bench import WINE, WineSession, quiet, run, windows_path


def pack(build, work):
    """A small application whose main file is bench_app.dll."""
    tree = work / "app"
    shutil.rmtree(tree, ignore_errors=True)
    (tree / "data").mkdir(parents=True)
    shutil.copy(build / "bin" / "bench_app.dll", tree / "main.dll")
    for index in range(10):
        (tree / "data" / f"file{index}.txt").write_text(f"data {index}\n" * 100)
    packaged = work / "app.exe"
    return packaged, [build / "bin" / "onefile-pack.exe", "--main", "main.dll", "--output",
                      windows_path(packaged), "--level", "3", "--quiet", windows_path(tree)]


def plant_stale(runs, count, files):
    """count directories as a killed run leaves them: files files in three
    levels, named with process ids that no process has."""
    for index in range(count):
        directory = runs / f"onefile_{4000000 + 4 * index}_133000000000000000"
        for number in range(files):
            place = directory / f"d{number % 3}" / f"e{number % 2}"
            place.mkdir(parents=True, exist_ok=True)
            (place / f"f{number}.bin").write_bytes(b"x" * 1024)


def measure(wine, packaged, times):
    times.unlink(missing_ok=True)
    env = dict(wine.env, CORVELLINTH_BENCH_TIMES=windows_path(times))
    start = time.time_ns()
    code = subprocess.run([WINE, str(packaged)], env=env, **quiet()).returncode
    end = time.time_ns()
    if code != 0:
        raise SystemExit(f"sweep: the packaged launcher exited with {code}")
    values = dict(line.split() for line in times.read_text().splitlines())
    return (int(values["entry"]) - start) / 1e9, (end - start) / 1e9


def main():
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stale", type=int, default=100)
    parser.add_argument("--files", type=int, default=30, help="files per stale directory")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--build-dir", default=str(root / "build" / "windows"))
    parser.add_argument("--out", default=str(root / "bench" / "out"))
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    work = Path(args.out).resolve() / "sweep"
    work.mkdir(parents=True, exist_ok=True)

    samples = {"none": {"entry": [], "exit": []}, "stale": {"entry": [], "exit": []}}
    with WineSession(work / "wineprefix") as wine:
        packaged, pack_command = pack(build, work)
        run([WINE, *map(str, pack_command)], env=wine.env, **quiet())
        runs = wine.temp_directory() / "CorvellinthOnefile"
        shutil.rmtree(runs, ignore_errors=True)
        measure(wine, packaged, work / "times.txt")  # warm-up
        for _ in range(args.reps):
            for case in ("none", "stale"):
                if case == "stale":
                    plant_stale(runs, args.stale, args.files)
                run(["sync"])
                entry, leave = measure(wine, packaged, work / "times.txt")
                samples[case]["entry"].append(entry)
                samples[case]["exit"].append(leave)
                left = list(runs.iterdir()) if runs.exists() else []
                if left:
                    raise SystemExit(f"sweep: {len(left)} directories left after a start")

    medians = {case: {phase: statistics.median(values) for phase, values in phases.items()}
               for case, phases in samples.items()}
    ratios = {phase: medians["stale"][phase] / medians["none"][phase] for phase in ("entry", "exit")}
    results = {"stale": args.stale, "files_per_stale": args.files, "reps": args.reps,
               "samples": samples, "medians": medians, "ratios": ratios}
    (Path(args.out).resolve() / "sweep.json").write_text(json.dumps(results, indent=2))
    print(f"{args.reps} repetitions, {args.stale} stale directories of {args.files} files")
    print(f"{'':24}{'none':>10}{'stale':>10}{'ratio':>8}")
    for phase, label in (("entry", "start to run_code (s)"), ("exit", "start to exit (s)")):
        print(f"{label:24}{medians['none'][phase]:10.3f}{medians['stale'][phase]:10.3f}"
              f"{ratios[phase]:8.2f}")


if __name__ == "__main__":
    main()
