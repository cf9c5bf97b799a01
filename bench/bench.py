#!/usr/bin/env python3
"""Unpack and delete speed of the packaged launcher against native tools,
where the unpacking time goes, the parent's memory, the launcher's size and
the packer's throughput. bench/run builds what is needed and calls this.

Measured, alternating, --reps times each, medians reported:
  A     the packaged launcher under Wine, as a user starts it; split into
        unpack (start to run_code entry) and delete (run_code return to the
        parent's exit)
  B-x   native tar with zstd at the same level and window extracting the tree
  B-rm  rm -rf of that tree
  C     native tar extracting the uncompressed tar (the file system floor)
  D     zstd -d of the launcher's own frame to /dev/null (decompression floor)
  E     a plain Win32 walk deleting the tree under Wine (bench/delete_tree)
  P-*   bench/unpack_profile: decompress only, create only, write only, and
        the launcher's unpack loop, each in a fresh Wine process; with
        --workers also the loop with each of those worker counts (0: the
        loop writes on its own thread)
Each P run and A's parent also give their own CPU time and the wineserver's
(the server is shared by the prefix, so only the bench may use it).
--baseline-build repeats A and P-unpack with another build's launcher (the
one before a change, say), alternating with this build's.
--tree real measures the real-files tree (bench/real_tree.py, scale times
1.1 GB, with bench_app.dll as main.dll) instead of the synthetic one.
--checksum measures only what the frame's content checksum costs: the same
tree packed with it (the default) and with --no-checksum, each through A,
P-decompress, P-unpack and D, alternating, and the ratios of the two.
"""

import argparse
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
WINDOW_LOG = 21  # the packer's window (2 MiB); tar's zstd gets the same
MIB = 1024 * 1024
REAL_TREE_BYTES = 1_100_000_000  # bench/real_tree.py at scale 1


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, **kwargs):
    start = time.perf_counter()
    run(command, **kwargs)
    return time.perf_counter() - start


def quiet():
    return {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL}


class WineSession:
    """A persistent wineserver for the bench's own prefix, warmed up with
    detached standard streams and made ready (see scripts/wine-session.sh)."""

    def __init__(self, prefix):
        self.env = dict(os.environ)
        for name in ("TAMBRO_ONEFILE_PARENT", "TAMBRO_ONEFILE_START",
                     "TAMBRO_ONEFILE_DIRECTORY", "TAMBRO_ORIGINAL_ARGV0"):
            self.env.pop(name, None)
        self.env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.prefix = Path(prefix)
        self.prefix.mkdir(parents=True, exist_ok=True)

    def __enter__(self):
        run([WINESERVER, "-p"], env=self.env)
        subprocess.run([WINE, "wineboot"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Crash dialogs off: a crash ends the run instead of stalling it.
        run([str(ROOT / "scripts" / "wine-prefix"), str(self.prefix)], env=self.env)
        return self

    def __exit__(self, *exc):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)

    def output(self, program, *arguments):
        return run([WINE, str(program), *map(str, arguments)], env=self.env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True).stdout

    def server_cpu(self):
        """CPU seconds of this prefix's wineserver so far: the one whose
        working directory is named after the prefix's device and inode."""
        if not hasattr(self, "server_stat"):
            info = self.prefix.stat()
            suffix = f"/server-{info.st_dev:x}-{info.st_ino:x}"
            self.server_stat = None
            for entry in Path("/proc").iterdir():
                try:
                    if (entry.name.isdigit() and os.readlink(entry / "cwd").endswith(suffix)
                            and "wineserver" in os.readlink(entry / "exe")):
                        self.server_stat = entry / "stat"
                except OSError:
                    continue
        if self.server_stat is None:
            return 0.0
        fields = self.server_stat.read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def temp_directory(self):
        users = self.prefix / "drive_c" / "users"
        return users / os.environ.get("USER", "root") / "Temp"


class MemoryWatch(threading.Thread):
    """Polls the memory of one Linux process until it ends (the wine64
    process that runs the parent keeps its PID throughout): VmHWM, the peak
    resident set, which includes the pages of the executable image that
    Wine holds, and the peak of RssAnon, the process's private memory."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peaks = {"VmHWM": 0, "RssAnon": 0}
        self.done = threading.Event()

    def run(self):
        status = Path(f"/proc/{self.pid}/status")
        while not self.done.is_set():
            try:
                for line in status.read_text().splitlines():
                    name = line.split(":", 1)[0]
                    if name in self.peaks:
                        self.peaks[name] = max(self.peaks[name], int(line.split()[1]))
            except (OSError, ValueError, IndexError):
                return
            time.sleep(0.002)


def describe_machine(out):
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    memory = Path("/proc/meminfo").read_text().splitlines()[0].split()[1]
    filesystem = subprocess.run(["df", "-PT", str(out)], capture_output=True,
                                text=True).stdout.splitlines()[-1].split()[1]
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    return {"nproc": os.cpu_count(), "cpu": cpu, "memory_gib": round(int(memory) / MIB, 1),
            "filesystem": filesystem, "kernel": platform.release(), "wine": wine,
            "load_average_at_start": os.getloadavg()}


def frame_length(data, start):
    """Length of the zstd frame at data[start:], from its header and block
    headers, so the frame can be cut out of the attached data exactly."""
    position = start + 4
    descriptor = data[position]
    position += 1
    content_size_flag = descriptor >> 6
    single_segment = (descriptor >> 5) & 1
    has_checksum = (descriptor >> 2) & 1
    dictionary_id_size = (0, 1, 2, 4)[descriptor & 3]
    content_size_bytes = (1 if single_segment else 0, 2, 4, 8)[content_size_flag]
    position += (0 if single_segment else 1) + dictionary_id_size + content_size_bytes
    while True:
        header = int.from_bytes(data[position:position + 3], "little")
        position += 3
        block_type = (header >> 1) & 3
        size = header >> 3
        position += 1 if block_type == 1 else size
        if header & 1:
            break
    return position + (4 if has_checksum else 0) - start


def write_frame(attached, frame):
    data = attached.read_bytes()
    if data[:3] != b"KAY":
        raise SystemExit("bench: the attached data has no KAY header")
    length = frame_length(data, 3)
    frame.write_bytes(data[3:3 + length])
    return length


def check_tree_shape(tree, shape, scale):
    """The tree on disk has the shape the benchmarks promise: the file count,
    the total the generator reported (exact at scale 1), no empty file, the
    longest name and the deepest nesting."""
    files, total, longest, deepest = 0, 0, 0, 0
    for directory, _, names in os.walk(tree):
        for name in names:
            path = Path(directory) / name
            relative = path.relative_to(tree)
            size = path.stat().st_size
            if size == 0:
                raise SystemExit(f"bench: {relative} is empty")
            files += 1
            total += size
            longest = max(longest, len(str(relative)))
            deepest = max(deepest, len(relative.parts) - 1)
    wanted = {"files": 6059, "longest_name": 131, "deepest": 9,
              "bytes": 1392925288 if scale == 1 else shape["bytes"]}
    found = {"files": files, "longest_name": longest, "deepest": deepest, "bytes": total}
    if found != wanted:
        raise SystemExit(f"bench: the tree has {found}, not {wanted}")


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build_dir).resolve()
        self.bin = self.build / "bin"
        self.out = Path(args.out).resolve()
        # Where everything is unpacked, extracted and deleted, the Wine prefix
        # (and so the launcher's temporary directory) included.
        self.work = Path(args.work).resolve() if args.work else self.out / "work"
        self.baseline = Path(args.baseline_build).resolve() / "bin" if args.baseline_build \
            else None
        self.results = {"scale": args.scale, "reps": args.reps, "level": args.level,
                        "seed": args.seed, "tree_kind": args.tree, "samples": {}}

    def sample(self, name, value):
        self.results["samples"].setdefault(name, []).append(value)

    def clear(self, path):
        if path.exists():
            shutil.rmtree(path)

    # ---- preparation ----------------------------------------------------

    def directory(self, scale):
        prefix = "real" if self.args.tree == "real" else "scale"
        return self.out / f"{prefix}-{scale}"

    def generate_real(self, scale, tree, main):
        run([sys.executable, ROOT / "bench" / "real_tree.py", "--output", tree, "--size",
             str(int(REAL_TREE_BYTES * scale))])
        shutil.copyfile(main, tree / "main.dll")
        shape = {"files": 0, "bytes": 0, "largest": 0, "longest_name": 0}
        for directory, _, names in os.walk(tree):
            for name in names:
                path = Path(directory) / name
                size = path.stat().st_size
                shape["files"] += 1
                shape["bytes"] += size
                shape["largest"] = max(shape["largest"], size)
                shape["longest_name"] = max(shape["longest_name"],
                                            len(str(path.relative_to(tree))))
        return shape

    def generate(self, scale):
        """The tree for a scale, made again only when its inputs change;
        everything derived from an older tree goes with it."""
        directory = self.directory(scale)
        tree = directory / "tree"
        stamp = directory / "tree.json"
        main = self.bin / "bench_app.dll"
        key = {"scale": scale, "seed": self.args.seed, "main_size": main.stat().st_size,
               "generator_mtime": (self.out / "generate_tree").stat().st_mtime,
               "tree": self.args.tree}
        if stamp.exists() and json.loads(stamp.read_text()).get("key") == key:
            return tree, json.loads(stamp.read_text())["tree"]
        print(f"bench: generating the {self.args.tree} tree at scale {scale}", flush=True)
        self.clear(directory)
        directory.mkdir(parents=True)
        if self.args.tree == "real":
            shape = self.generate_real(scale, tree, main)
        else:
            shape = json.loads(run([self.out / "generate_tree", "--output", tree, "--scale",
                                    str(scale), "--seed", str(self.args.seed), "--main", main],
                                   stdout=subprocess.PIPE, text=True).stdout)
            check_tree_shape(tree, shape, scale)
        stamp.write_text(json.dumps({"key": key, "tree": shape}))
        return tree, shape

    def pack(self, wine, tree, scale, checksum=True):
        """Attached data with the packer (timed, once per tree and level),
        then the packaged exe (every run: the launcher may have changed)."""
        level = self.args.level
        variant = "" if checksum else "-nochecksum"
        attached = self.directory(scale) / f"attached-L{level}{variant}.bin"
        packaged = self.directory(scale) / f"packaged{variant}.exe"
        seconds = None
        if not attached.exists():
            print(f"bench: packing at scale {scale}, level {level}", flush=True)
            partial = attached.with_suffix(".partial")
            start = time.perf_counter()
            run([WINE, self.bin / "onefile-pack.exe", "--write-attached-data",
                 windows_path(partial), "--main", "main.dll", "--level", str(level),
                 "--quiet", *([] if checksum else ["--no-checksum"]), windows_path(tree)],
                env=wine.env, **quiet())
            seconds = time.perf_counter() - start
            partial.rename(attached)
        packaged.unlink(missing_ok=True)
        run([WINE, self.bin / "onefile-pack.exe", "--attached-data", windows_path(attached),
             "--output", windows_path(packaged), "--launcher",
             windows_path(self.bin / "Corvellinth.exe")], env=wine.env, **quiet())
        return attached, packaged, seconds

    def pack_baseline(self, wine, attached, scale):
        """The same attached data behind the baseline build's launcher."""
        packaged = self.directory(scale) / "packaged-baseline.exe"
        packaged.unlink(missing_ok=True)
        run([WINE, self.bin / "onefile-pack.exe", "--attached-data", windows_path(attached),
             "--output", windows_path(packaged), "--launcher",
             windows_path(self.baseline / "Corvellinth.exe")], env=wine.env, **quiet())
        return packaged

    def make_archives(self, tree, scale):
        """tree.tar and tree.tar.zst (zstd -T0 timed: the packer's rival)."""
        tar = self.directory(scale) / "tree.tar"
        zst = self.directory(scale) / f"tree-L{self.args.level}.tar.zst"
        seconds = None
        if not tar.exists():
            run(["tar", "--sort=name", "-cf", tar, "-C", tree, "."])
        if not zst.exists():
            partial = zst.with_suffix(".partial")
            seconds = timed(["zstd", "-q", "-f", "-T0", f"-{self.args.level}",
                             f"--zstd=wlog={WINDOW_LOG}", tar, "-o", partial])
            partial.rename(zst)
        return tar, zst, seconds

    # ---- one measurement each -------------------------------------------

    def measure_launcher(self, wine, packaged, variant=""):
        """variant names the samples of another launcher (A_unpack<variant>)."""
        times = self.work / "times.txt"
        times.unlink(missing_ok=True)
        env = dict(wine.env, CORVELLINTH_BENCH_TIMES=windows_path(times))
        run(["sync"])
        cpu, server = children_cpu(), wine.server_cpu()
        start = time.time_ns()
        process = subprocess.Popen([WINE, str(packaged)], env=env, **quiet())
        watch = MemoryWatch(process.pid)
        watch.start()
        code = process.wait()
        end = time.time_ns()
        self.sample(f"A_parent_cpu{variant}", children_cpu() - cpu)
        self.sample(f"A_server_cpu{variant}", wine.server_cpu() - server)
        watch.done.set()
        watch.join()
        if code != 0:
            raise SystemExit(f"bench: the packaged launcher exited with {code}")
        values = dict(line.split() for line in times.read_text().splitlines())
        entry, leave = int(values["entry"]), int(values["return"])
        self.sample(f"A_unpack{variant}", (entry - start) / 1e9)
        parent_created, child_created = int(values["parent_created"]), int(values["child_created"])
        if parent_created and child_created:
            # Start to parent created: Wine starting a process; parent to
            # child created: the unpacking and the child launch; child
            # created to entry: the child's start, role decision and loading.
            self.sample(f"A_to_parent{variant}", (parent_created - start) / 1e9)
            self.sample(f"A_parent_to_child{variant}", (child_created - parent_created) / 1e9)
            self.sample(f"A_child_to_entry{variant}", (entry - child_created) / 1e9)
        self.sample(f"A_delete{variant}", (end - leave) / 1e9)
        self.sample(f"A_total{variant}", (end - start) / 1e9)
        self.sample(f"A_parent_vmhwm_kib{variant}", watch.peaks["VmHWM"])
        self.sample(f"A_parent_rss_anon_kib{variant}", watch.peaks["RssAnon"])
        self.sample(f"A_parent_peak_working_set{variant}", int(values["parent_peak_working_set"]))
        self.sample(f"A_parent_peak_pagefile{variant}", int(values["parent_peak_pagefile"]))
        leftovers = wine.temp_directory() / "CorvellinthOnefile"
        if leftovers.exists() and any(leftovers.iterdir()):
            self.results["leftover_after_A"] = True
            for entry_path in leftovers.iterdir():
                shutil.rmtree(entry_path, ignore_errors=True)

    def measure_tar_zstd(self, zst):
        target = self.work / "b"
        self.clear(target)
        target.mkdir(parents=True)
        run(["sync"])
        self.sample("B_x", timed(["tar", "-I", "zstd", "-xf", zst, "-C", target]))
        run(["sync"])
        self.sample("B_rm", timed(["rm", "-rf", target]))

    def measure_tar(self, tar):
        target = self.work / "c"
        self.clear(target)
        target.mkdir(parents=True)
        run(["sync"])
        self.sample("C", timed(["tar", "-xf", tar, "-C", target]))
        self.clear(target)

    def measure_zstd(self, frame):
        run(["sync"])
        self.sample("D", timed(["zstd", "-q", "-d", "-c", frame], stdout=subprocess.DEVNULL))

    def measure_win32_delete(self, wine, tar):
        target = self.work / "e"
        self.clear(target)
        (target / "tree").mkdir(parents=True)
        run(["tar", "-xf", tar, "-C", target / "tree"])
        run(["sync"])
        start = time.perf_counter()
        fields = wine.output(self.bin / "delete_tree.exe", windows_path(target / "tree")).split()
        self.sample("E_wall", time.perf_counter() - start)
        self.sample("E", float(fields[fields.index("seconds") + 1]))
        self.clear(target)

    def measure_profile(self, wine, attached, mode, workers=None, build=None, name=None):
        """One unpack_profile run; name defaults to P_<mode>."""
        target = self.work / "p"
        self.clear(target)
        target.mkdir(parents=True)
        arguments = [mode, windows_path(attached)]
        if mode != "decompress":
            arguments.append(windows_path(target / "tree"))
        if workers is not None:
            arguments.append(workers)
        name = name or f"P_{mode}"
        run(["sync"])
        cpu, server = children_cpu(), wine.server_cpu()
        fields = wine.output((build or self.bin) / "unpack_profile.exe", *arguments).split()
        self.sample(f"{name}_cpu", children_cpu() - cpu)
        self.sample(f"{name}_server_cpu", wine.server_cpu() - server)
        self.sample(name, float(fields[fields.index("seconds") + 1]))
        self.results["profile_directories"] = int(fields[fields.index("directories") + 1])
        self.clear(target)

    def measure_wine_start(self, wine):
        """A Wine process that does nothing: the fixed cost in A's phases."""
        start = time.perf_counter()
        subprocess.run([WINE, str(self.bin / "delete_tree.exe")], env=wine.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.sample("wine_process", time.perf_counter() - start)

    # ---- system calls ---------------------------------------------------

    def strace_counts(self, wine, arguments, name):
        """Total system calls of one Wine process tree, by call."""
        log = self.out / f"strace-{name}.txt"
        subprocess.run(["strace", "-f", "-c", "-o", str(log), WINE, *map(str, arguments)],
                       env=wine.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       check=True)
        counts = {}
        for line in log.read_text().splitlines():
            fields = line.split()
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                counts[fields[-1]] = int(fields[3])
        return counts

    def system_calls(self, wine, attached, tree_shape):
        if shutil.which("strace") is None:
            return None
        target = self.work / "s"
        self.clear(target)
        target.mkdir(parents=True)
        profile = self.bin / "unpack_profile.exe"
        unpack = self.strace_counts(
            wine, [profile, "unpack", windows_path(attached), windows_path(target / "tree")],
            "unpack")
        self.clear(target)
        target.mkdir(parents=True)
        decompress = self.strace_counts(wine, [profile, "decompress", windows_path(attached)],
                                        "decompress")
        files = tree_shape["files"]
        extra = {call: unpack.get(call, 0) - decompress.get(call, 0)
                 for call in set(unpack) | set(decompress)}
        top = sorted(extra.items(), key=lambda item: -item[1])[:8]
        self.clear(target)
        return {"files": files,
                "per_file_total": round(sum(extra.values()) / files, 1),
                "per_file_top": {call: round(count / files, 2) for call, count in top}}

    # ---- the whole run --------------------------------------------------

    def memory_at(self, wine, scale, reps):
        tree, _ = self.generate(scale)
        attached, packaged, _ = self.pack(wine, tree, scale)
        baseline = self.pack_baseline(wine, attached, scale) if self.baseline else None
        for _ in range(reps):
            self.measure_launcher(wine, packaged)
            if baseline is not None:
                self.measure_launcher(wine, baseline, "_base")
        return self.take_memory_samples()

    def take_memory_samples(self):
        """The largest of each memory figure of A so far, removing
        those samples (the small-scale runs must not mix with the main
        ones)."""
        samples = self.results["samples"]
        peaks = {}
        for variant in ("", "_base"):
            if f"A_parent_vmhwm_kib{variant}" in samples:
                peaks["A" + variant] = {
                    "vmhwm_kib": max(samples[f"A_parent_vmhwm_kib{variant}"]),
                    "rss_anon_kib": max(samples[f"A_parent_rss_anon_kib{variant}"]),
                    "peak_working_set_kib":
                        max(samples[f"A_parent_peak_working_set{variant}"]) // 1024,
                    "peak_private_kib": max(samples[f"A_parent_peak_pagefile{variant}"]) // 1024}
        for name in list(samples):
            if name.startswith("A_"):
                del samples[name]
        return peaks

    def record_compression(self, scale, shape, pack_seconds, zstd_seconds):
        """Compression is slow at high levels: its times are kept with the
        outputs and reused while those are."""
        timing = self.directory(scale) / f"compression-L{self.args.level}.json"
        known = json.loads(timing.read_text()) if timing.exists() else {}
        if pack_seconds is not None:
            known["packer_s"] = pack_seconds
        if zstd_seconds is not None:
            known["zstd_T0_s"] = zstd_seconds
        timing.write_text(json.dumps(known))
        if "packer_s" in known and "zstd_T0_s" in known:
            megabytes = shape["bytes"] / 1e6
            self.results.setdefault("compression", {})[str(scale)] = {
                "packer_s": round(known["packer_s"], 2),
                "zstd_T0_s": round(known["zstd_T0_s"], 2),
                "packer_mb_per_s": round(megabytes / known["packer_s"], 2),
                "zstd_T0_mb_per_s": round(megabytes / known["zstd_T0_s"], 2)}

    def execute(self):
        args = self.args
        self.out.mkdir(parents=True, exist_ok=True)
        self.work.mkdir(parents=True, exist_ok=True)
        self.results["machine"] = describe_machine(self.out)
        launcher = self.bin / "Corvellinth.exe"
        self.results["launcher_bytes"] = launcher.stat().st_size
        self.results["machine"]["work_filesystem"] = describe_machine(self.work)["filesystem"]
        with WineSession(self.work / "wineprefix") as wine:
            tree, shape = self.generate(args.scale)
            self.results["tree"] = shape
            attached, packaged, pack_seconds = self.pack(wine, tree, args.scale)
            tar, zst, zstd_seconds = (None, None, None) if args.launcher_only else \
                self.make_archives(tree, args.scale)
            self.record_compression(args.scale, shape, pack_seconds, zstd_seconds)
            small_tree, small_shape = self.generate(args.memory_scale)
            _, _, small_pack_seconds = self.pack(wine, small_tree, args.memory_scale)
            _, _, small_zstd_seconds = (None, None, None) if args.launcher_only else \
                self.make_archives(small_tree, args.memory_scale)
            self.record_compression(args.memory_scale, small_shape, small_pack_seconds,
                                    small_zstd_seconds)
            if args.prepare_only:
                print("bench: prepared", flush=True)
                return
            frame = attached.with_suffix(".zst")
            self.results["frame_bytes"] = write_frame(attached, frame)
            if zst is not None:
                self.results["tar_zst_bytes"] = zst.stat().st_size
            self.results["ratio"] = round(shape["bytes"] / self.results["frame_bytes"], 3)
            baseline_packaged = (self.pack_baseline(wine, attached, args.scale)
                                 if self.baseline is not None else None)
            self.measure_launcher(wine, packaged)  # warm-up, not counted
            self.results["samples"].clear()
            for rep in range(args.reps):
                print(f"bench: repetition {rep + 1} of {args.reps}", flush=True)
                self.measure_wine_start(wine)
                self.measure_launcher(wine, packaged)
                if baseline_packaged is not None:
                    self.measure_launcher(wine, baseline_packaged, "_base")
                if args.launcher_only:
                    continue
                self.measure_tar_zstd(zst)
                self.measure_tar(tar)
                self.measure_zstd(frame)
                self.measure_win32_delete(wine, tar)
                if not args.no_profile:
                    for mode in ("decompress", "create", "write", "unpack"):
                        self.measure_profile(wine, attached, mode)
                        if mode == "unpack" and self.baseline is not None:
                            self.measure_profile(wine, attached, mode, build=self.baseline,
                                                 name="P_unpack_base")
                    for workers in args.workers:
                        self.measure_profile(wine, attached, "unpack", workers,
                                             name=f"P_unpack_w{workers}")
            if not args.no_memory:
                kept = dict(self.results["samples"])
                large = self.take_memory_samples()
                small = self.memory_at(wine, args.memory_scale, args.reps)
                self.results["samples"] = kept
                self.results["memory"] = {str(args.memory_scale): small, str(args.scale): large}
            if not args.no_strace:
                small_attached, _, _ = self.pack(wine, small_tree, args.memory_scale)
                self.results["system_calls"] = self.system_calls(wine, small_attached,
                                                                 small_shape)
                self.results["system_calls"]["scale"] = args.memory_scale
        self.summarise()

    # (what, its sample name with the checksum, without it)
    CHECKSUM_MEASURES = [(name, name, name + "_nochecksum")
                         for name in ("A_unpack", "A_total", "P_decompress", "P_unpack", "D")] + \
        [(name + "_cpu", name + "_cpu", name + "_nochecksum_cpu")
         for name in ("P_decompress", "P_unpack")]

    def execute_checksum(self):
        """The checksum's cost: both packages of one tree, alternating, the
        order swapped at every repetition."""
        args = self.args
        self.out.mkdir(parents=True, exist_ok=True)
        self.work.mkdir(parents=True, exist_ok=True)
        self.results["machine"] = describe_machine(self.out)
        self.results["machine"]["work_filesystem"] = describe_machine(self.work)["filesystem"]
        with WineSession(self.work / "wineprefix") as wine:
            tree, shape = self.generate(args.scale)
            self.results["tree"] = shape
            variants = []
            for checksum, name in ((True, ""), (False, "_nochecksum")):
                attached, packaged, _ = self.pack(wine, tree, args.scale, checksum)
                frame = attached.with_suffix(".zst")
                self.results["frame_bytes" + name] = write_frame(attached, frame)
                variants.append((attached, packaged, frame, name))
            self.measure_launcher(wine, variants[0][1])  # warm-up, not counted
            self.results["samples"].clear()
            for rep in range(args.reps):
                print(f"bench: repetition {rep + 1} of {args.reps}", flush=True)
                for attached, packaged, frame, name in variants[::1 if rep % 2 == 0 else -1]:
                    self.measure_launcher(wine, packaged, name)
                    self.measure_profile(wine, attached, "decompress", name="P_decompress" + name)
                    self.measure_profile(wine, attached, "unpack", name="P_unpack" + name)
                    run(["sync"])
                    self.sample("D" + name, timed(["zstd", "-q", "-d", "-c", frame],
                                                  stdout=subprocess.DEVNULL))
        samples = self.results["samples"]
        medians = {name: statistics.median(values) for name, values in samples.items()}
        self.results["medians"] = medians
        self.results["ratios"] = {f"{what}: with / without": round(medians[a] / medians[b], 3)
                                  for what, a, b in self.CHECKSUM_MEASURES}
        path = self.out / args.results
        path.write_text(json.dumps(self.results, indent=2) + "\n")
        t = self.results["tree"]
        print(f"tree: {t['files']} files, {t['bytes']:,} bytes (scale {args.scale}), "
              f"level {args.level}; medians of {args.reps}, seconds, with / without checksum:")
        for what, a, b in self.CHECKSUM_MEASURES:
            print(f"  {what:<18} {medians[a]:8.3f} / {medians[b]:8.3f}"
                  f"  ({self.results['ratios'][f'{what}: with / without']})")
        print(f"written: {path}")

    def summarise(self):
        samples = self.results["samples"]
        medians = {name: statistics.median(values) for name, values in samples.items()}
        self.results["medians"] = medians

        def ratio(a, b):
            return round(medians[a] / medians[b], 2) if a in medians and b in medians else None

        ratios = {
            "A_unpack/B_x": ratio("A_unpack", "B_x"),
            "A_unpack/C": ratio("A_unpack", "C"),
            "A_unpack/D": ratio("A_unpack", "D"),
            "A/B": (round(medians["A_total"] / (medians["B_x"] + medians["B_rm"]), 2)
                    if "B_x" in medians else None),
            "A_delete/E": ratio("A_delete", "E"),
            "A_delete/B_rm": ratio("A_delete", "B_rm"),
            "A_unpack_base/B_x": ratio("A_unpack_base", "B_x"),
            "A_unpack/A_unpack_base": ratio("A_unpack", "A_unpack_base"),
            "P_unpack/P_unpack_base": ratio("P_unpack", "P_unpack_base"),
            "P_unpack/P_write": ratio("P_unpack", "P_write"),
            "P_unpack_base/P_write": ratio("P_unpack_base", "P_write"),
            "P_unpack/B_x": ratio("P_unpack", "B_x"),
        }
        for workers in self.args.workers:
            ratios[f"P_unpack_w{workers}/P_write"] = ratio(f"P_unpack_w{workers}", "P_write")
        self.results["ratios"] = ratios
        files = self.results["tree"]["files"]
        if "P_create" in medians:
            per_file = {
                "create_ms": medians["P_create"] / files * 1e3,
                "write_data_ms": (medians["P_write"] - medians["P_create"]) / files * 1e3,
                "decompress_ms": medians["P_decompress"] / files * 1e3,
                "unpack_ms": medians["P_unpack"] / files * 1e3,
                "delete_shell_ms": medians["A_delete"] / files * 1e3,
                "delete_win32_ms": medians["E"] / files * 1e3,
            }
            for name in [n for n in medians if n.endswith("_cpu")]:
                per_file[name + "_ms"] = medians[name] / files * 1e3
            self.results["per_file"] = {k: round(v, 3) for k, v in per_file.items()}
        path = self.out / self.args.results
        path.write_text(json.dumps(self.results, indent=2) + "\n")
        self.print_table(medians, ratios, path)

    def print_table(self, medians, ratios, path):
        r = self.results
        m = r["machine"]
        print(f"\nmachine: {m['nproc']} CPUs ({m['cpu']}), {m['memory_gib']} GiB, "
              f"{m['wine']}; unpacking on {m['work_filesystem']}")
        t = r["tree"]
        print(f"tree: {t['files']} files, {t['bytes']:,} bytes (scale {r['scale']}), "
              f"largest {t['largest']:,}, longest name {t['longest_name']}; "
              f"frame {r['frame_bytes']:,} bytes, ratio {r['ratio']}:1 at level {r['level']}")
        print(f"medians of {r['reps']} repetitions, seconds:")
        labels = [
            ("A_unpack", "A  launcher: start to run_code"),
            ("A_delete", "A  launcher: run_code return to exit"),
            ("A_total", "A  launcher: whole run"),
            ("A_to_parent", "A  start to parent created"),
            ("A_parent_to_child", "A  parent created to child created"),
            ("A_child_to_entry", "A  child created to run_code"),
            ("B_x", "B-x  tar -I zstd -x"), ("B_rm", "B-rm rm -rf"),
            ("C", "C  tar -x (uncompressed)"), ("D", "D  zstd -d of the frame"),
            ("E", "E  Win32 delete walk (Wine)"),
            ("wine_process", "   an empty Wine process"),
            ("P_decompress", "P  decompress only"), ("P_create", "P  create files only"),
            ("P_write", "P  create + write, no decompression"),
            ("P_unpack", "P  the unpack loop"),
            ("A_unpack_base", "A  baseline: start to run_code"),
            ("P_unpack_base", "P  baseline: the unpack loop"),
        ] + [(f"P_unpack_w{w}", f"P  the unpack loop, {w} workers") for w in self.args.workers]
        labels += [(name, "   CPU: " + name) for name in sorted(medians) if name.endswith("_cpu")]
        for key, label in labels:
            if key in medians:
                print(f"  {label:<40} {medians[key]:9.3f}")
        print("ratios:")
        for key, value in ratios.items():
            print(f"  {key:<40} {value}")
        if "per_file" in r:
            print("per file, ms: " + ", ".join(f"{k} {v}" for k, v in r["per_file"].items()))
        if "memory" in r:
            print("parent peak memory, KiB:")
            for scale, variants in r["memory"].items():
                for variant, v in variants.items():
                    print(f"  {variant:<6} scale {scale:<6} VmHWM {v['vmhwm_kib']:>8}  RssAnon "
                          f"{v['rss_anon_kib']:>8}  peak working set "
                          f"{v['peak_working_set_kib']:>8}  peak private "
                          f"{v['peak_private_kib']:>8}")
        if r.get("system_calls"):
            s = r["system_calls"]
            print(f"system calls per file beyond decompression (scale {s['scale']}): "
                  f"{s['per_file_total']} ({s['per_file_top']})")
        print(f"launcher without attached data: {r['launcher_bytes']:,} bytes")
        for scale, c in r.get("compression", {}).items():
            print(f"compression at scale {scale}, level {r['level']}: packer "
                  f"{c['packer_mb_per_s']} MB/s ({c['packer_s']} s), zstd -T0 on the tar "
                  f"{c['zstd_T0_mb_per_s']} MB/s ({c['zstd_T0_s']} s)")
        if r.get("leftover_after_A"):
            print("warning: the launcher left its directory behind")
        print(f"written: {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=0.25)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--level", type=int, default=19, help="zstd level (the packer's --best)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--memory-scale", type=float, default=0.01,
                        help="the small scale that memory and system calls are measured at")
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "windows"))
    parser.add_argument("--out", default=str(ROOT / "bench" / "out"))
    parser.add_argument("--work", help="where to unpack, extract and delete, the Wine prefix "
                        "included (default: OUT/work); e.g. a tmpfs to take the disk out")
    parser.add_argument("--results", default="results.json", help="file name in OUT")
    parser.add_argument("--no-profile", action="store_true")
    parser.add_argument("--tree", choices=("synthetic", "real"), default="synthetic",
                        help="the generated tree, or the real-files tree (bench/real_tree.py)")
    parser.add_argument("--baseline-build", help="another build directory (its bin/ has "
                        "Corvellinth.exe and unpack_profile.exe) to measure A and P-unpack "
                        "against, alternating")
    parser.add_argument("--workers", type=lambda text: [w for w in text.split(",") if w],
                        default=[], help="worker counts for extra P-unpack runs, e.g. 0,2,4")
    parser.add_argument("--launcher-only", action="store_true",
                        help="measure A only; the ratios are then missing")
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--no-strace", action="store_true")
    parser.add_argument("--prepare-only", action="store_true",
                        help="generate, pack and compress (slow at high levels), measure nothing")
    parser.add_argument("--checksum", action="store_true",
                        help="measure only the cost of the frame's content checksum")
    arguments = parser.parse_args()
    if arguments.checksum:
        Bench(arguments).execute_checksum()
    else:
        Bench(arguments).execute()


if __name__ == "__main__":
    sys.exit(main())
