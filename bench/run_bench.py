#!/usr/bin/env python3
"""Wall-clock benchmark of plint against `cat in > out` on the same archive.

    python3 bench/run_bench.py --build build [--size-gib 4] [--runs 8]
                               [--cache DIR] [--cat-mode readwrite]

Makes a tar of files of 0 B to 4 MiB with random contents (about 1 GiB, or
--size-gib), turns it into two plint archives with the project's generator
(30 % and 100 % placeholder entries) and keeps all three in the cache folder
between runs. For each archive it warms the page cache, converts once and
checks that the output equals the tar, then times the tool and cat in
alternating pairs: a warm-up pair, then --runs pairs. The figures are
medians of the pairs, because the machine may be shared and noisy.

Peak resident memory comes from GNU time (/usr/bin/time): the rusage that
wait4 gives this script would include the script's own memory, which a
child inherits as its high-water mark when it is forked from Python.
"""

import argparse
import hashlib
import io
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

MIB = 1 << 20
GIB = 1 << 30
FILE_SIZE_MAX = 4 * MIB
SOURCE_SEED = 20240601
GENERATOR_SEED = 1
# Raise when the recipe of the source tar changes, so old caches are remade.
CACHE_FORMAT = 1

PERCENTS = (30, 100)
RATIO_TARGET = {30: 1.05, 100: 1.10}
RSS_TARGET_MIB = 8.0

GNU_TIME = "/usr/bin/time"
IO_SYSCALLS = ("read", "write", "pread64", "pwrite64", "readv", "writev", "preadv", "pwritev",
               "preadv2", "pwritev2", "copy_file_range", "sendfile", "splice", "lseek", "mmap",
               "munmap", "brk", "fadvise64")


def parse_args():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(repo, "build"),
                        help="build folder holding plint and plint-generate (default: build)")
    parser.add_argument("--size-gib", type=float, default=1.0,
                        help="size of the source tar in GiB (default 1; 4 needs about 16 GiB free)")
    parser.add_argument("--runs", type=int, default=8,
                        help="timed pairs per archive (default 8), rounded up so that every order "
                             "of the programs comes as often")
    parser.add_argument("--cache", default=os.path.join(repo, "bench", "cache"),
                        help="folder for the archives and the outputs (default bench/cache)")
    parser.add_argument("--cat-mode", choices=("plain", "readwrite"), default="plain",
                        help="plain: time cat only; readwrite: also time dd bs=128K, a plain "
                             "read/write copy, as a second yardstick")
    parser.add_argument("--no-strace", action="store_true",
                        help="skip the untimed strace runs that show how cat and plint do their I/O")
    args = parser.parse_args()
    if args.runs < 1 or args.size_gib <= 0:
        parser.error("--runs and --size-gib must be positive")
    # Whichever program runs second in a pair tends to be the slower one
    # here, so an odd count of pairs would tilt the median to one side.
    programs = 3 if args.cat_mode == "readwrite" else 2
    args.runs = -(-args.runs // programs) * programs
    return args


def fail(text):
    print(f"run_bench: {text}", file=sys.stderr)
    sys.exit(1)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while chunk := file.read(4 * MIB):
            digest.update(chunk)
    return digest.hexdigest()


def unlink_quietly(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


# ---- The archives and their cache ----

def make_source_tar(path, total_bytes):
    """Files of random sizes from 0 B to 4 MiB with random contents, from a
    fixed seed, until the entries' data reaches total_bytes."""
    rng = random.Random(SOURCE_SEED)
    part = path + ".part"
    with open(part, "wb") as raw:
        with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
            written = 0
            index = 0
            while written < total_bytes:
                size = rng.randint(0, FILE_SIZE_MAX)
                info = tarfile.TarInfo(f"data/d{index % 64:02d}/file{index:06d}.bin")
                info.size = size
                info.mode = 0o644
                info.mtime = 1_700_000_000 + index
                info.uid = info.gid = 1000
                info.uname = info.gname = "bench"
                tar.addfile(info, io.BytesIO(rng.randbytes(size)))
                written += 512 + (size + 511) // 512 * 512
                index += 1
    os.replace(part, path)


def run_generator(generator, percent, source, target):
    part = target + ".part"
    done = subprocess.run([generator, "--percent", str(percent), "--seed", str(GENERATOR_SEED),
                           source, part], capture_output=True, text=True)
    if done.returncode != 0:
        unlink_quietly(part)
        fail(f"{generator} failed: {done.stderr.strip()}")
    os.replace(part, target)
    # "plint-generate: N entries, M placeholder entries"
    words = done.stderr.split()
    try:
        entries = int(words[words.index("entries,") - 1])
        placeholders = int(words[words.index("placeholder") - 1])
    except (ValueError, IndexError):
        entries = placeholders = None
    return {"size": os.path.getsize(target), "entries": entries, "placeholders": placeholders}


def prepare_archives(cache, generator, size_gib):
    """Returns the manifest: the tar's size and hash and, per percent, the
    plint archive's size and counts. Remakes whatever is missing or stale."""
    os.makedirs(cache, exist_ok=True)
    manifest_path = os.path.join(cache, "manifest.json")
    try:
        with open(manifest_path) as file:
            manifest = json.load(file)
    except (OSError, ValueError):
        manifest = {}
    source = os.path.join(cache, "source.tar")
    total = int(size_gib * GIB)
    recipe = {"format": CACHE_FORMAT, "bytes": total, "seed": SOURCE_SEED}

    def save():
        with open(manifest_path + ".part", "w") as file:
            json.dump(manifest, file, indent=1)
        os.replace(manifest_path + ".part", manifest_path)

    def need_space(count):
        free = shutil.disk_usage(cache).free
        # count archives of about `total` bytes, plus one output at a time
        if free < (count + 1) * total * 1.02:
            fail(f"{cache} has {free / GIB:.1f} GiB free; this needs about "
                 f"{(count + 1) * total * 1.02 / GIB:.1f} GiB more")

    tar_ok = (manifest.get("recipe") == recipe and os.path.exists(source)
              and os.path.getsize(source) == manifest.get("tar_size"))
    if not tar_ok:
        # Drop the old set first: at 4 GiB the disk may not hold two.
        for name in ["source.tar"] + [f"p{p}.plint" for p in PERCENTS]:
            unlink_quietly(os.path.join(cache, name))
        manifest = {"recipe": recipe}
        need_space(1 + len(PERCENTS))
        print(f"making {source} ({size_gib:g} GiB of files of 0 B to 4 MiB) ...", flush=True)
        started = time.monotonic()
        make_source_tar(source, total)
        manifest["tar_size"] = os.path.getsize(source)
        manifest["tar_sha256"] = sha256_of(source)
        manifest["archives"] = {}
        save()
        print(f"  done in {time.monotonic() - started:.0f} s", flush=True)

    generator_hash = sha256_of(generator)
    archives = manifest.setdefault("archives", {})
    for percent in PERCENTS:
        target = os.path.join(cache, f"p{percent}.plint")
        known = archives.get(str(percent))
        if (known and manifest.get("generator_sha256") == generator_hash and os.path.exists(target)
                and os.path.getsize(target) == known["size"]):
            continue
        unlink_quietly(target)
        need_space(1)
        print(f"making {target} with {generator} --percent {percent} ...", flush=True)
        archives[str(percent)] = run_generator(generator, percent, source, target)
    manifest["generator_sha256"] = generator_hash
    save()
    return manifest


# ---- Running and measuring one child ----

class Runner:
    def __init__(self, folder):
        self.folder = folder
        self.gnu_time = os.access(GNU_TIME, os.X_OK)
        self.serial = 0
        self.outputs = []

    def fresh_output(self, tag):
        """Unlinks every earlier output, then names a new one. A fresh file
        rather than a truncated one: truncating a large file just written
        makes ext4 flush it, and the next run would time the disk."""
        for path in self.outputs:
            unlink_quietly(path)
        self.outputs = []
        self.serial += 1
        path = os.path.join(self.folder, f"out-{os.getpid()}-{self.serial}-{tag}.tmp")
        self.outputs.append(path)
        return path

    def cleanup(self):
        for path in self.outputs:
            unlink_quietly(path)
        self.outputs = []

    def run(self, argv, stdout_path=os.devnull, create_stdout=False):
        """Runs argv to its end. Returns wall seconds, user and sys CPU
        seconds, peak RSS in KiB (None without GNU time) and exit code."""
        rss_file = None
        command = list(argv)
        if self.gnu_time:
            handle, rss_file = tempfile.mkstemp(prefix="rss-", dir=self.folder)
            os.close(handle)
            command = [GNU_TIME, "-f", "%M", "-o", rss_file] + command
        flags = os.O_WRONLY | (os.O_CREAT | os.O_EXCL if create_stdout else 0)
        actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                   (os.POSIX_SPAWN_OPEN, 1, stdout_path, flags, 0o644)]
        started = time.perf_counter()
        pid = os.posix_spawn(command[0], command, os.environ, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - started
        rss = None
        if rss_file:
            with open(rss_file) as file:
                lines = file.read().split()
            os.unlink(rss_file)
            # GNU time writes a note before the figure when the child failed.
            rss = int(lines[-1]) if lines and lines[-1].isdigit() else None
        return {"wall": wall, "user": usage.ru_utime, "sys": usage.ru_stime, "rss_kib": rss,
                "code": os.waitstatus_to_exitcode(status)}


def strace_counts(argv, stdout_path, folder):
    """Syscall counts of one untimed run under strace -c, or None."""
    strace = shutil.which("strace")
    if not strace:
        return None
    handle, report = tempfile.mkstemp(prefix="strace-", dir=folder)
    os.close(handle)
    try:
        with open(stdout_path, "wb") as out:
            done = subprocess.run([strace, "-f", "-c", "-o", report] + argv, stdout=out,
                                  stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            return None
        counts = {}
        with open(report) as file:
            for line in file:
                fields = line.split()
                # "% time  seconds  usecs/call  calls  [errors]  syscall"
                if len(fields) >= 5 and fields[-1] in IO_SYSCALLS and fields[3].isdigit():
                    counts[fields[-1]] = int(fields[3])
        return counts
    finally:
        unlink_quietly(report)


def describe_counts(counts):
    if not counts:
        return "no read, write or copy calls seen"
    return ", ".join(f"{name} {count}" for name, count in
                     sorted(counts.items(), key=lambda item: -item[1]))


# ---- Report helpers ----

def filesystem_of(path):
    path = os.path.realpath(path)
    best, kind = "", "unknown"
    try:
        with open("/proc/mounts") as file:
            for line in file:
                fields = line.split()
                mount = fields[1]
                if (path == mount or path.startswith(mount.rstrip("/") + "/")) and len(mount) >= len(best):
                    best, kind = mount, fields[2]
    except OSError:
        pass
    return kind


def memory_total_gib():
    try:
        with open("/proc/meminfo") as file:
            for line in file:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / (1 << 20)
    except OSError:
        pass
    return 0.0


def evict_from_cache(path):
    """Asks the kernel to drop a file's clean pages from the page cache."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def resident_share(path):
    """How much of a file is in the page cache, from util-linux fincore."""
    fincore = shutil.which("fincore")
    if not fincore:
        return None
    done = subprocess.run([fincore, "--bytes", "--noheadings", "--output", "RES", path],
                          capture_output=True, text=True)
    try:
        return int(done.stdout.split()[0]) / os.path.getsize(path)
    except (ValueError, IndexError, ZeroDivisionError):
        return None


def git_state(repo):
    try:
        head = subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", repo, "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
    except OSError:
        return "unknown"
    return head + (" with uncommitted changes in src/" if dirty else "") if head else "unknown"


def verdict(ok):
    return "PASS" if ok else "FAIL"


def seconds(value):
    return f"{value:.3f} s"


# ---- The benchmark of one archive ----

def bench_archive(runner, args, tool, percent, manifest, yardsticks):
    """Returns the summary of one archive, after printing its runs."""
    folder = runner.folder
    source = os.path.join(folder, f"p{percent}.plint")
    info = manifest["archives"][str(percent)]
    tar_size = manifest["tar_size"]
    counts = ""
    if info.get("entries") is not None:
        counts = f", {info['entries']} entries of which {info['placeholders']} placeholder entries"
    print(f"\n== p{percent}.plint: {percent} % placeholder entries, {info['size']:,} bytes{counts}")

    # Only this archive stays in the page cache: at 4 GiB the tar and the
    # other archive would crowd out the outputs and bring on writeback to
    # the disk during the timed runs.
    for name in ["source.tar"] + [f"p{other}.plint" for other in PERCENTS if other != percent]:
        evict_from_cache(os.path.join(folder, name))
    # One untimed read, so that every timed run finds the input in the page cache.
    warm = runner.run([shutil.which("cat"), source])
    if warm["code"] != 0:
        fail(f"cat {source} > /dev/null failed")
    share = resident_share(source)
    if share is not None:
        print(f"input in the page cache after one untimed cat in > /dev/null: {share:.0%}")

    if not args.no_strace:
        scratch = runner.fresh_output("strace")
        print(f"plint's I/O calls (one untimed run under strace -c): "
              f"{describe_counts(strace_counts([tool, source, scratch], os.devnull, folder))}")

    def run_one(name, log=None):
        out = runner.fresh_output(name)
        if name == "plint":
            result = runner.run([tool, source, out], stdout_path=log or os.devnull,
                                create_stdout=log is not None)
            expected = tar_size
        elif name == "cat":
            result = runner.run([yardsticks["cat"], source], stdout_path=out, create_stdout=True)
            expected = info["size"]
        else:
            result = runner.run([yardsticks["dd"], f"if={source}", f"of={out}", "bs=128K",
                                 "status=none"])
            expected = info["size"]
        if result["code"] != 0:
            said = ""
            if log:
                with open(log, errors="replace") as file:
                    said = ":\n" + file.read()[-2000:]
            fail(f"{name} on {source} exited with status {result['code']}{said}")
        size = os.path.getsize(out)
        if size != expected:
            fail(f"{name} on {source} wrote {size:,} bytes, not {expected:,}")
        result["output"] = out
        return result

    def cpu(result):
        return result["user"] + result["sys"]

    names = ["plint", "cat"] + (["dd"] if "dd" in yardsticks else [])
    header = f"{'pair':>5}  {'order':<13} {'plint':>9} {'cat':>9} {'plint/cat':>10}"
    if "dd" in yardsticks:
        header += f" {'dd':>9} {'plint/dd':>9}"
    header += f"  {'plint user':>10} {'plint sys':>9} {'cat cpu':>9} {'plint RSS':>10}"
    print(header)

    timed = []
    for pair in range(args.runs + 1):
        # The order turns from pair to pair, so that neither side always runs
        # right after the other's output was deleted.
        shift = pair % len(names)
        order = names[shift:] + names[:shift]
        results = {}
        for name in order:
            if pair == 0 and name == "plint":
                # The warm-up conversion must give back the tar, byte for byte.
                log = os.path.join(folder, f"plint-{os.getpid()}.log")
                unlink_quietly(log)
                try:
                    results[name] = run_one(name, log)
                finally:
                    unlink_quietly(log)
                digest = sha256_of(results[name]["output"])
                if digest != manifest["tar_sha256"]:
                    fail(f"plint's output of {source} differs from source.tar (sha256 {digest})")
            else:
                results[name] = run_one(name)
        row = results["plint"]
        line = (f"{'warm' if pair == 0 else pair:>5}  {','.join(order):<13} {seconds(row['wall']):>9} "
                f"{seconds(results['cat']['wall']):>9} {row['wall'] / results['cat']['wall']:>10.3f}")
        if "dd" in results:
            line += f" {seconds(results['dd']['wall']):>9} {row['wall'] / results['dd']['wall']:>9.3f}"
        rss = f"{row['rss_kib'] / 1024:.1f} MiB" if row["rss_kib"] is not None else "n/a"
        line += (f"  {seconds(row['user']):>10} {seconds(row['sys']):>9} "
                 f"{seconds(cpu(results['cat'])):>9} {rss:>10}")
        print(line, flush=True)
        if pair > 0:
            results["order"] = order
            timed.append(results)
    runner.cleanup()

    def median(name, key):
        return statistics.median(r[name][key] for r in timed)

    summary = {"percent": percent,
               "ratio": statistics.median(r["plint"]["wall"] / r["cat"]["wall"] for r in timed),
               "rss_kib": None}
    rss_values = [r["plint"]["rss_kib"] for r in timed if r["plint"]["rss_kib"] is not None]
    if rss_values:
        summary["rss_kib"] = max(rss_values)
    print("conversion checked (warm-up run): output equals source.tar, "
          f"{tar_size:,} bytes, sha256 {manifest['tar_sha256'][:16]}...")
    rate = lambda wall: f"{info['size'] / wall / 1e9:.2f} GB/s"
    print(f"median wall time: plint {seconds(median('plint', 'wall'))} ({rate(median('plint', 'wall'))}), "
          f"cat {seconds(median('cat', 'wall'))} ({rate(median('cat', 'wall'))})"
          + (f", dd {seconds(median('dd', 'wall'))} ({rate(median('dd', 'wall'))})" if "dd" in yardsticks else ""))
    print(f"median CPU time: plint user {seconds(median('plint', 'user'))}, sys {seconds(median('plint', 'sys'))}; "
          f"cat user {seconds(median('cat', 'user'))}, sys {seconds(median('cat', 'sys'))}"
          + (f"; dd user {seconds(median('dd', 'user'))}, sys {seconds(median('dd', 'sys'))}"
             if "dd" in yardsticks else ""))
    target = RATIO_TARGET[percent]
    print(f"median of the pair ratios plint/cat: {summary['ratio']:.3f}   target <= {target:.2f}   "
          f"{verdict(summary['ratio'] <= target)}")
    plint_first = [r["plint"]["wall"] / r["cat"]["wall"] for r in timed if r["order"][0] == "plint"]
    cat_first = [r["plint"]["wall"] / r["cat"]["wall"] for r in timed if r["order"][0] == "cat"]
    if plint_first and cat_first:
        print(f"  the same by order in the pair: plint first {statistics.median(plint_first):.3f}, "
              f"cat first {statistics.median(cat_first):.3f}")
    cpu_ratio = statistics.median(cpu(r["plint"]) / max(cpu(r["cat"]), 1e-6) for r in timed)
    print(f"median of the pair ratios of CPU time (user + sys) plint/cat: {cpu_ratio:.3f}   "
          "(no target; steadier than wall time when other work shares the CPUs)")
    if "dd" in yardsticks:
        summary["dd_ratio"] = statistics.median(r["plint"]["wall"] / r["dd"]["wall"] for r in timed)
        print(f"median of the pair ratios plint/dd:  {summary['dd_ratio']:.3f}   "
              "(read/write yardstick, no target)")
    if summary["rss_kib"] is not None:
        mib = summary["rss_kib"] / 1024
        print(f"plint peak RSS, max over {len(rss_values)} runs: {mib:.1f} MiB   "
              f"target <= {RSS_TARGET_MIB:g} MiB   {verdict(mib <= RSS_TARGET_MIB)}")
    else:
        print("plint peak RSS: not measured (no GNU time at /usr/bin/time; apt-get install time)")
    return summary


def main():
    args = parse_args()
    build = os.path.abspath(args.build)
    tool = os.path.join(build, "plint")
    generator = os.path.join(build, "plint-generate")
    for path in (tool, generator):
        if not os.access(path, os.X_OK):
            fail(f"{path} not found: build the project first (cmake --build {args.build})")
    yardsticks = {"cat": shutil.which("cat")}
    if args.cat_mode == "readwrite":
        yardsticks["dd"] = shutil.which("dd")
    if not all(yardsticks.values()):
        fail("cat or dd not found")
    cache = os.path.abspath(args.cache)
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

    manifest = prepare_archives(cache, generator, args.size_gib)
    runner = Runner(cache)

    print()
    print(f"command: python3 bench/run_bench.py {' '.join(sys.argv[1:])}".rstrip())
    print(f"tool: {tool} (repository at {git_state(repo)})")
    print(f"machine: Linux {platform.release()}, {os.cpu_count()} CPUs, {memory_total_gib():.0f} GiB RAM; "
          f"cache folder {cache} on {filesystem_of(cache)}")
    print(f"source.tar: {manifest['tar_size']:,} bytes of files of 0 B to 4 MiB with random contents; "
          f"{args.runs} timed pairs per archive after a warm-up pair")
    print("page cache: each input is read once, untimed, before its runs; every output goes to a fresh "
          "file next to the input, unlinked before the next run, so the times are of copying into the "
          "page cache, not of the disk")
    if runner.gnu_time:
        floor = runner.run(["/bin/true"])["rss_kib"]
        print(f"peak RSS: GNU time's %M for each child (a program that does nothing reads "
              f"{floor / 1024:.1f} MiB here)")
    if not args.no_strace:
        first = os.path.join(cache, f"p{PERCENTS[0]}.plint")
        scratch = runner.fresh_output("strace-cat")
        counts = strace_counts([yardsticks["cat"], first], scratch, cache)
        runner.cleanup()
        if counts is None:
            print("cat: how it copies is unknown (no strace)")
        elif counts.get("copy_file_range", 0) > 0:
            print(f"cat: copies with copy_file_range, an in-kernel copy with no user-space buffer "
                  f"(strace -c: {describe_counts(counts)})")
        else:
            print(f"cat: copies with read and write (strace -c: {describe_counts(counts)})")
    if "dd" in yardsticks:
        print("dd: dd if=in of=out bs=128K, a read/write copy through a 128 KiB user-space buffer")

    try:
        summaries = [bench_archive(runner, args, tool, percent, manifest, yardsticks)
                     for percent in PERCENTS]
    finally:
        runner.cleanup()

    print(f"\n== targets ({args.size_gib:g} GiB archives, medians of {args.runs} pairs)")
    for s in summaries:
        target = RATIO_TARGET[s["percent"]]
        print(f"{s['percent']:>3} % placeholder entries  wall time plint/cat {s['ratio']:.3f} <= {target:.2f}"
              f"  {verdict(s['ratio'] <= target)}")
        if s["rss_kib"] is not None:
            mib = s["rss_kib"] / 1024
            print(f"{s['percent']:>3} % placeholder entries  peak RSS {mib:.1f} MiB <= {RSS_TARGET_MIB:g} MiB"
                  f"  {verdict(mib <= RSS_TARGET_MIB)}")


if __name__ == "__main__":
    main()
