#!/usr/bin/env python3
"""Round trips through real tar writers: GNU tar and Python's tarfile archive
a small tree in the ustar, GNU and pax formats; plint-generate turns each
archive into a plint archive (every entry, none, or a share picked by a seed);
plint must turn that back into the original archive byte for byte, and
`tar -tvf` must list the output as it lists the original.

    python3 roundtrip_test.py --plint PATH --generate PATH [unittest options]
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
from pathlib import Path

PLINT = None
GENERATE = None
BANNER = b"Zavo plint tool version 1.1 (Morquel)\n"
TIMEOUT_SECONDS = 30
TAR_ENV = dict(os.environ, LC_ALL="C", TZ="UTC")

# Each archive is converted with every one of these: a label, the
# generator's options, and which entries must become placeholder entries.
GENERATIONS = [
    ("every entry", ["--percent", "100"], "all"),
    ("no entry", ["--percent", "0"], "none"),
    ("half, seed 1", ["--percent", "50", "--seed", "1"], "some"),
    ("half, seed 7", ["--percent", "50", "--seed", "7"], "some"),
    # Below 4 GiB a footer size taken modulo 2^32 is the size itself.
    ("every entry, wrapped footer size", ["--percent", "100", "--wrap-footer-size"], "all"),
]


def hex_lines(data, start, count=4):
    return "\n".join(f"    {offset:08x}  {data[offset:offset + 16].hex(' ')}"
                     for offset in range(start, min(len(data), start + 16 * count), 16))


def describe_difference(got, want):
    at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    start = max(0, at // 16 * 16 - 16)
    return (f"output has {len(got)} bytes, the original {len(want)}; first difference at offset {at}"
            f" (block {at // 512}, byte {at % 512})\n  output:\n{hex_lines(got, start)}\n"
            f"  original:\n{hex_lines(want, start)}")


def build_tree(root, gnu_only):
    """Files of the sizes around block boundaries, a name that needs the ustar
    prefix, a symbolic link, a hard link, an empty folder. With gnu_only,
    also what ustar cannot hold: a 150-byte file name, a link target over
    100 bytes, a name that is not ASCII, a sparse file."""
    rng = random.Random(20260101)
    files = root / "files"
    files.mkdir(parents=True)
    for size in (0, 1, 511, 512, 513, 5000, (1 << 20) + 3):
        (files / f"size{size}").write_bytes(rng.randbytes(size))
    # 136 bytes in all: the name part fits 100 bytes, the rest goes to the prefix.
    deep = root / "deep" / ("p" * 60) / ("q" * 40)
    deep.mkdir(parents=True)
    (deep / "leaf-of-a-path-longer-than-the-name-field.txt").write_bytes(b"deep\n" * 30)
    (root / "emptydir").mkdir()
    os.symlink("files/size1", root / "link")
    os.link(files / "size513", files / "hard513")
    if gnu_only:
        (root / ("long-" + "n" * 145)).write_bytes(b"a name of 150 bytes\n")
        os.symlink("deep/" + "p" * 60 + "/" + "q" * 40 + "/leaf-of-a-path-longer-than-the-name-field.txt",
                   root / "longlink")
        (root / "caf\u00e9-\u00fc.txt").write_bytes("not ASCII\n".encode())
        with open(root / "sparse", "wb") as sparse:
            sparse.seek(300000)
            sparse.write(rng.randbytes(2000))
            sparse.truncate(600000)
    for path in sorted(root.rglob("*"), reverse=True):
        os.utime(path, (1767225600, 1767225600), follow_symlinks=False)


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, timeout=TIMEOUT_SECONDS, **kwargs)


def gnu_tar():
    tar = shutil.which("tar")
    if tar and b"GNU tar" in run([tar, "--version"]).stdout:
        return tar
    return None


class RoundTripTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="plint-roundtrip-")
        cls.dir = Path(cls._tmp.name)
        cls.trees = {}
        for label, gnu_only in (("ustar", False), ("full", True)):
            cls.trees[label] = cls.dir / f"tree-{label}"
            build_tree(cls.trees[label], gnu_only)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def top_names(self, tree):
        return sorted(os.listdir(self.trees[tree]))

    def gnu_tar_archive(self, tar, name, tree, options):
        archive = self.dir / name
        done = run([tar, "-cf", str(archive), "-C", str(self.trees[tree]), "--sort=name", *options,
                    *self.top_names(tree)], env=TAR_ENV)
        self.assertEqual(done.returncode, 0, f"tar {options}: {done.stderr!r}")
        return archive

    def tarfile_archive(self, name, tree, tar_format):
        archive = self.dir / name
        with tarfile.open(archive, "w", format=tar_format) as out:
            for top in self.top_names(tree):
                out.add(self.trees[tree] / top, arcname=top)
        return archive

    def listing(self, archive):
        done = run(["tar", "-tvf", str(archive)], env=TAR_ENV)
        self.assertEqual(done.returncode, 0, f"tar -tvf {archive.name}: {done.stderr!r}")
        self.assertEqual(done.stderr, b"")
        return done.stdout

    def check_round_trips(self, archive):
        original = archive.read_bytes()
        self.assertEqual(len(original) % 10240, 0, "tar writers pad to whole records")
        want_listing = self.listing(archive) if gnu_tar() else None
        for label, options, picked in GENERATIONS:
            with self.subTest(archive=archive.name, generate=label):
                plint_archive = archive.with_suffix(".plint")
                output = archive.with_suffix(".out")
                generated = run([GENERATE, *options, str(archive), str(plint_archive)])
                self.assertEqual(generated.returncode, 0, generated.stderr)
                counts = re.fullmatch(rb"plint-generate: (\d+) entries, (\d+) placeholder entries\n",
                                      generated.stderr)
                self.assertIsNotNone(counts, generated.stderr)
                entries, placeholders = int(counts[1]), int(counts[2])
                self.assertGreaterEqual(entries, 12)
                if picked == "all":
                    self.assertEqual(placeholders, entries, "every entry must become a placeholder entry")
                elif picked == "none":
                    self.assertEqual(placeholders, 0)
                else:
                    self.assertTrue(0 < placeholders < entries, f"{placeholders} of {entries} picked")
                plint_bytes = plint_archive.read_bytes()
                self.assertEqual(len(plint_bytes), len(original) + 512 * placeholders,
                                 "one footer block per placeholder entry")

                converted = run([PLINT, str(plint_archive), str(output)])
                self.assertEqual(converted.stderr, b"")
                want_stdout = (BANNER + b"input file: " + bytes(plint_archive) + b"\noutput file: "
                               + bytes(output) + b"\n")
                self.assertEqual((converted.returncode, converted.stdout), (0, want_stdout))
                got = output.read_bytes()
                if got != original:
                    self.fail(describe_difference(got, original))
                if want_listing is not None:
                    self.assertEqual(self.listing(output), want_listing)

    def test_gnu_tar(self):
        tar = gnu_tar()
        if not tar:
            self.skipTest("GNU tar is not installed")
        cases = [
            ("gnu-ustar.tar", "ustar", ["--format=ustar"]),
            ("gnu-gnu.tar", "full", ["--format=gnu", "--sparse"]),
            ("gnu-pax.tar", "full", ["--format=pax", "--sparse"]),
        ]
        for name, tree, options in cases:
            self.check_round_trips(self.gnu_tar_archive(tar, name, tree, options))

    def test_python_tarfile(self):
        cases = [
            ("py-ustar.tar", "ustar", tarfile.USTAR_FORMAT),
            ("py-gnu.tar", "full", tarfile.GNU_FORMAT),
            ("py-pax.tar", "full", tarfile.PAX_FORMAT),
        ]
        for name, tree, tar_format in cases:
            self.check_round_trips(self.tarfile_archive(name, tree, tar_format))


def main():
    global PLINT, GENERATE
    parser = argparse.ArgumentParser()
    parser.add_argument("--plint", required=True)
    parser.add_argument("--generate", required=True)
    options, rest = parser.parse_known_args()
    PLINT = os.path.abspath(options.plint)
    GENERATE = os.path.abspath(options.generate)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
