#!/usr/bin/env python3
"""The Linux launcher against tar, its memory, and its child's start.

  A       the package run as a user runs it: from its start to its exit;
          its unpack phase (start to run_code's entry) and delete phase
          (run_code's return to the exit)
  B-x     tar -I zstd -xf of the same files, compressed by the zstd tool at
          the same level and window (tar extracts while zstd decompresses,
          in two processes)
  B-rm    rm -rf of what B-x extracted
  memory  the parent's peak resident memory (VmHWM, read by the application
          once the unpacking is over) for packages of the sizes given, made
          of files that do not compress, so that the package is as large as
          its files; and for the smallest package possible, the floor
  start   a small package's start to run_code's entry, with the child a fork
          that loads the application (what the launcher does) and with the
          fork executing the launcher again (bench/child_start_model.cpp)
  cache   the tree, and the smallest package, packed with --cache, start to
          run_code's entry: the first start (the cache folder emptied:
          unpack the copy), the second (check the copy, run from it in the
          same process), and bench/run_so.cpp loading the copy's main.so
          and calling run_code (direct, the floor)

Each phase alternates with its rival within a repetition; medians over the
repetitions, and ratios of medians measured in the same run. Writes
bench/out/linux.json (--results). bench/run --linux builds what it needs first.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WINDOW_LOG = 21  # the packer's window (2 MiB); tar's zstd gets the same
RANDOM_FILE_BYTES = 64 << 20


def run(command, **kwargs):
    return subprocess.run([str(part) for part in command], check=True, **kwargs)


def timed(command, **kwargs):
    start = time.perf_counter()
    run(command, **kwargs)
    return time.perf_counter() - start


def read_times(path):
    values = {}
    for line in Path(path).read_text().splitlines():
        name, value = line.split()
        values[name] = int(value)
    return values


class LinuxBench:
    def __init__(self, args):
        self.args = args
        self.host = Path(args.build_dir)
        self.work = Path(args.work)
        self.samples = {}
        self.work.mkdir(parents=True, exist_ok=True)
        self.temp = self.work / "tmp"
        self.temp.mkdir(exist_ok=True)
        self.times = self.work / "times.txt"

    def sample(self, name, value):
        self.samples.setdefault(name, []).append(value)

    def pack(self, tree, output, launcher=None, level=None, options=()):
        command = [self.host / "bin" / "onefile-pack", "--linux", "--main", "main.so",
                   "--output", output, "--quiet", "--level", level or self.args.level]
        if launcher:
            command += ["--launcher", launcher]
        command += list(options)
        return timed(command + [tree])

    def stage_application(self, tree):
        tree.mkdir(parents=True, exist_ok=True)
        shutil.copy(self.host / "bin" / "bench_app_linux.so", tree / "main.so")

    def run_package(self, package, environment=None):
        """Start to exit, and the application's own times, in seconds."""
        env = dict(os.environ, TMPDIR=str(self.temp), CORVELLINTH_BENCH_TIMES=str(self.times))
        env.update(environment or {})
        start = time.time_ns()
        run([package], env=env)
        end = time.time_ns()
        times = read_times(self.times)
        leftovers = list((self.temp / "CorvellinthOnefile").iterdir())
        if leftovers:
            sys.exit(f"bench: the run left {leftovers}")
        return {"total": (end - start) / 1e9, "unpack": (times["entry"] - start) / 1e9,
                "delete": (end - times["return"]) / 1e9,
                "peak": times["parent_peak_resident"]}

    def make_tree(self):
        tree = self.work / f"tree-{self.args.scale}"
        if not tree.exists():
            generator = ROOT / "bench" / "out" / "generate_tree"
            partial = tree.with_name(tree.name + ".partial")
            shutil.rmtree(partial, ignore_errors=True)
            run([generator, "--output", partial, "--scale", self.args.scale,
                 "--main", self.host / "bin" / "bench_app_linux.so"])
            (partial / "main.dll").rename(partial / "main.so")
            partial.rename(tree)
        return tree

    def make_archive(self, tree):
        archive = self.work / f"tree-{self.args.scale}-L{self.args.level}.tar.zst"
        if not archive.exists():
            tar = self.work / "tree.tar"
            run(["tar", "--sort=name", "-cf", tar, "-C", tree, "."])
            run(["zstd", "-q", "-f", "-T0", f"-{self.args.level}", f"--zstd=wlog={WINDOW_LOG}",
                 tar, "-o", archive])
            tar.unlink()
        return archive

    def measure_tar(self, archive):
        target = self.work / "extracted"
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir()
        self.sample("B_x", timed(["tar", "-I", "zstd", "-xf", archive, "-C", target]))
        self.sample("B_rm", timed(["rm", "-rf", target]))

    def measure_against_tar(self):
        tree = self.make_tree()
        package = self.work / f"package-{self.args.scale}-L{self.args.level}"
        if not package.exists():
            self.pack(tree, package)
        archive = self.make_archive(tree)
        for rep in range(self.args.reps):
            result = self.run_package(package)
            for phase in ("total", "unpack", "delete"):
                self.sample(f"A_{phase}", result[phase])
            self.measure_tar(archive)
            print(f"  rep {rep + 1}: A {result['total']:.2f} s, "
                  f"B {self.samples['B_x'][-1] + self.samples['B_rm'][-1]:.2f} s", flush=True)

    def make_random_tree(self, megabytes):
        tree = self.work / f"random-{megabytes}"
        if not tree.exists():
            partial = tree.with_name(tree.name + ".partial")
            shutil.rmtree(partial, ignore_errors=True)
            self.stage_application(partial)
            left = megabytes << 20
            for index in range(0, 1 << 20):
                if left <= 0:
                    break
                size = min(left, RANDOM_FILE_BYTES)
                (partial / f"random-{index:04}.bin").write_bytes(os.urandom(size))
                left -= size
            partial.rename(tree)
        return tree

    def measure_memory(self):
        floor_tree = self.work / "smallest"
        self.stage_application(floor_tree)
        floor = self.work / "package-smallest"
        self.pack(floor_tree, floor, level=1)
        for rep in range(self.args.reps):
            self.sample("memory_floor", self.run_package(floor)["peak"])
        for megabytes in self.args.memory_sizes:
            package = self.work / f"package-random-{megabytes}"
            if not package.exists():
                self.pack(self.make_random_tree(megabytes), package, level=1)
            for rep in range(self.args.reps):
                self.sample(f"memory_{megabytes}", self.run_package(package)["peak"])
            self.sample(f"package_bytes_{megabytes}", package.stat().st_size)
            print(f"  memory at {megabytes} MB: {self.samples[f'memory_{megabytes}'][-1]} bytes",
                  flush=True)

    def measure_child_start(self):
        tree = self.work / "smallest"
        self.stage_application(tree)
        package = self.work / "package-child-start"
        self.pack(tree, package, launcher=self.host / "bin" / "child_start_model", level=1)
        for rep in range(self.args.start_reps):
            for method in ("fork", "exec"):
                result = self.run_package(package, {"CORVELLINTH_CHILD_START": method})
                self.sample(f"start_{method}", result["unpack"])

    def entry_time(self, command, environment):
        """Start to run_code's entry of command, in seconds."""
        env = dict(os.environ, TMPDIR=str(self.temp), CORVELLINTH_BENCH_TIMES=str(self.times))
        env.update(environment)
        start = time.time_ns()
        run(command, env=env)
        return (read_times(self.times)["entry"] - start) / 1e9

    def measure_cache(self):
        small = self.work / "smallest"
        self.stage_application(small)
        for label, tree in (("tree", self.make_tree()), ("small", small)):
            package = self.work / f"package-cache-{label}-{self.args.scale}-L{self.args.level}"
            if not package.exists():
                self.pack(tree, package, options=["--cache", "--company", "Bench",
                                                  "--product", "Cache"])
            self.measure_cached_starts(package, f"cache_{label}")

    def measure_cached_starts(self, package, prefix):
        home = self.work / "cache-home"
        environment = {"XDG_CACHE_HOME": str(home)}
        folder = home / "CorvellinthOnefile" / "Bench" / "Cache"
        for rep in range(self.args.cache_reps):
            shutil.rmtree(home, ignore_errors=True)
            self.sample(f"{prefix}_first", self.entry_time([package], environment))
            self.sample(f"{prefix}_second", self.entry_time([package], environment))
            copies = list(folder.iterdir())
            if len(copies) != 1:
                sys.exit(f"bench: the cache folder holds {copies}")
            self.sample(f"{prefix}_direct", self.entry_time(
                [self.host / "bin" / "run_so", copies[0] / "main.so"], environment))
            print(f"  {prefix} rep {rep + 1}: first {self.samples[f'{prefix}_first'][-1]:.3f} s,"
                  f" second {self.samples[f'{prefix}_second'][-1]:.4f} s,"
                  f" direct {self.samples[f'{prefix}_direct'][-1]:.4f} s", flush=True)
        shutil.rmtree(home, ignore_errors=True)

    def summarise(self):
        medians = {name: statistics.median(values) for name, values in self.samples.items()}
        ratios = {}
        if "A_total" in medians:
            ratios["A_over_B"] = medians["A_total"] / (medians["B_x"] + medians["B_rm"])
            ratios["A_unpack_over_B_x"] = medians["A_unpack"] / medians["B_x"]
            ratios["A_delete_over_B_rm"] = medians["A_delete"] / medians["B_rm"]
        for prefix in ("cache_tree", "cache_small"):
            if f"{prefix}_second" in medians:
                second = medians[f"{prefix}_second"]
                ratios[f"{prefix}_second_over_first"] = second / medians[f"{prefix}_first"]
                ratios[f"{prefix}_second_over_direct"] = second / medians[f"{prefix}_direct"]
        if "start_fork" in medians:
            ratios["start_exec_over_fork"] = medians["start_exec"] / medians["start_fork"]
        memory = [f"memory_{size}" for size in self.args.memory_sizes]
        if memory and all(name in medians for name in memory):
            ratios["memory_largest_over_smallest"] = medians[memory[-1]] / medians[memory[0]]
            ratios["memory_largest_over_floor"] = medians[memory[-1]] / medians["memory_floor"]
        return medians, ratios

    def execute(self):
        print(f"bench/linux: scale {self.args.scale}, level {self.args.level}, "
              f"{self.args.reps} repetitions, work in {self.work}", flush=True)
        if not self.args.skip_tar:
            self.measure_against_tar()
        if self.args.memory_sizes:
            self.measure_memory()
        if self.args.start_reps:
            self.measure_child_start()
        if self.args.cache_reps:
            self.measure_cache()
        medians, ratios = self.summarise()
        result = {"samples": self.samples, "medians": medians, "ratios": ratios,
                  "scale": self.args.scale, "level": self.args.level, "reps": self.args.reps}
        out = Path(self.args.out)
        out.mkdir(parents=True, exist_ok=True)
        (out / self.args.results).write_text(json.dumps(result, indent=2))
        for name, value in medians.items():
            print(f"  {name:28} {value:.4f}" if value < 1e6 else f"  {name:28} {value:.0f}")
        for name, value in ratios.items():
            print(f"  {name:28} {value:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=0.1, help="of bench/generate_tree's tree")
    parser.add_argument("--level", type=int, default=3)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--memory-sizes", default="10,100,1000",
                        type=lambda text: [int(size) for size in text.split(",") if size],
                        help="package sizes in MB for the memory measurement ('' for none)")
    parser.add_argument("--start-reps", type=int, default=30,
                        help="starts of each kind for the child-start comparison (0: none)")
    parser.add_argument("--cache-reps", type=int, default=5,
                        help="repetitions of the cached starts (0: none)")
    parser.add_argument("--skip-tar", action="store_true", help="only memory and start")
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "host"))
    parser.add_argument("--work", default=str(ROOT / "bench" / "out" / "linux"),
                        help="where the trees, packages and runs go (a tmpfs, say)")
    parser.add_argument("--out", default=str(ROOT / "bench" / "out"))
    parser.add_argument("--results", default="linux.json", help="file name in OUT")
    LinuxBench(parser.parse_args()).execute()


if __name__ == "__main__":
    main()
