#!/usr/bin/env python3
"""Injected I/O faults on the built plint binary, through the preloaded
fault shim (fault_shim.c): a read failing with EIO, a full disk, a failing
close of the output, and the input shrinking between the footer search and
the data copy. Each run must print its one message of the fault, end with
status 1 within a second, leave the input's bytes as they were, and leave an
output that the correct conversion starts with.

    python3 fault_cli_test.py --plint PATH --generate PATH --shim PATH [unittest options]
"""
import argparse
import errno
import hashlib
import io
import os
import random
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
from pathlib import Path

PLINT = GENERATE = SHIM = None
BLOCK = 512
MIB = 1 << 20
BANNER = b"Zavo plint tool version 1.1 (Morquel)\n"
NAMES = b"input file: in.plint\noutput file: out.tar\n"


def read_failed():
    return b"read of input file in.plint failed " + os.strerror(errno.EIO).encode() + b"\n"


def write_failed(error):
    return b"write of output file out.tar failed " + os.strerror(error).encode() + b"\n"


CHANGED = b"input file changed during conversion\n"


def source_tar():
    """A ustar archive: a small file, one of 5 MiB (more than the tool holds
    at once, so its copy reads the input again), an empty file and
    a small one at the end. Random data, so no data block looks like a
    header."""
    rng = random.Random(4)
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, size in (("a", 700), ("big", 5 * MIB + 100), ("c", 0), ("d", 100)):
            info = tarfile.TarInfo(name)
            info.size = size
            info.mtime = 1767225600
            tar.addfile(info, io.BytesIO(rng.randbytes(size)))
    return out.getvalue()


class FaultCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="plint-fault-")
        cls.dir = Path(cls._tmp.name)
        cls.tar = source_tar()
        (cls.dir / "source.tar").write_bytes(cls.tar)
        subprocess.run([GENERATE, "--percent", "100", "source.tar", "in.plint"], cwd=cls.dir,
                       check=True, stderr=subprocess.DEVNULL)
        cls.input = (cls.dir / "in.plint").read_bytes()
        cls.input_digest = hashlib.sha256(cls.input).digest()
        # Layout of in.plint: a's placeholder header, 2 data blocks and
        # footer, then big's placeholder header; big's data starts at
        # big_data in the input, and its header is the 4th block of the output.
        cls.big_data = 5 * BLOCK
        cls.big_footer = cls.big_data + (5 * MIB + 100 + BLOCK - 1) // BLOCK * BLOCK
        assert cls.input[4 * BLOCK + 124:4 * BLOCK + 135] == b"37777777777"

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def run_plint(self, **faults):
        env = dict(os.environ)
        for name in list(env):
            if name.startswith("PLINT_FAULT_"):
                del env[name]
        if faults:
            env["LD_PRELOAD"] = SHIM + (":" + env["LD_PRELOAD"] if env.get("LD_PRELOAD") else "")
            for name, value in faults.items():
                env["PLINT_FAULT_" + name.upper()] = str(value)
        out = self.dir / "out.tar"
        if out.exists():
            out.unlink()
        start = time.monotonic()
        run = subprocess.run([PLINT, "in.plint", "out.tar"], cwd=self.dir, env=env,
                             capture_output=True, timeout=30)
        took = time.monotonic() - start
        self.assertEqual(run.stderr, b"")
        self.assertEqual(hashlib.sha256((self.dir / "in.plint").read_bytes()).digest(),
                         self.input_digest, "the input changed")
        return run, out.read_bytes(), took

    def check_stopped(self, faults, message, want_output=None):
        run, output, took = self.run_plint(**faults)
        self.assertEqual(run.stdout, BANNER + NAMES + message)
        self.assertEqual(run.returncode, 1)
        self.assertLess(took, 1.0)
        self.assertEqual(output, self.tar[:len(output)], "not a prefix of the correct conversion")
        if want_output is not None:
            self.assertEqual(len(output), len(want_output))
            self.assertEqual(output, want_output)
        return output

    def test_without_faults_the_shim_changes_nothing(self):
        run, output, _ = self.run_plint()
        self.assertEqual((run.returncode, run.stdout), (0, BANNER + NAMES))
        self.assertEqual(output, self.tar)
        run, output, _ = self.run_plint(read_eio_at=len(self.input), shrink_to=len(self.input))
        self.assertEqual((run.returncode, run.stdout), (0, BANNER + NAMES))
        self.assertEqual(output, self.tar)

    def test_read_failing_with_eio(self):
        cases = [
            ("in the first entry's data", 600, 0),
            ("in the big entry's data, during the footer search", self.big_data + MIB + 1000,
             3 * BLOCK),
            ("in the last entry", len(self.input) - 3 * BLOCK, None),
        ]
        for label, offset, output_length in cases:
            with self.subTest(label):
                output = self.check_stopped({"read_eio_at": offset}, read_failed())
                if output_length is not None:
                    self.assertEqual(len(output), output_length)
                self.assertLessEqual(len(output), offset)
        # After the footer search read big's data without fault, the copy
        # that reads it again meets the bad block. Only an output the tool
        # cannot go back in makes it read again: into a regular file, the
        # data went out during the search.
        with self.subTest("in the big entry's data, read again by the copy"):
            offset = self.big_data + 1000
            output = self.check_stopped({"read_eio_at": offset, "after": self.big_footer, "no_seek": 1},
                                        read_failed())
            self.assertGreaterEqual(len(output), 4 * BLOCK, "the big entry's header was written")
            self.assertLessEqual(len(output), 4 * BLOCK + 1000)

    def test_write_failing_with_enospc(self):
        # Block 3 is big's header, 4 to 10244 its data: into a regular file
        # they go out before the footer search ends, and the failure is
        # reported once the footer is found; with no_seek they go out after.
        blocks = len(self.tar) // BLOCK
        for block in (0, 3, 4, 1000, 2500, blocks - 1):
            for no_seek in (0, 1):
                with self.subTest(block=block, no_seek=no_seek):
                    self.check_stopped({"write_enospc_at_block": block, "no_seek": no_seek},
                                       write_failed(errno.ENOSPC), self.tar[:block * BLOCK])

    def test_close_failing(self):
        run, output, took = self.run_plint(close_eio=1)
        self.assertEqual(run.stdout, BANNER + NAMES + write_failed(errno.EIO))
        self.assertEqual(run.returncode, 1)
        self.assertLess(took, 1.0)
        self.assertEqual(output, self.tar)

    def test_write_and_close_failing_report_once(self):
        self.check_stopped({"write_enospc_at_block": 2000, "close_eio": 1}, write_failed(errno.ENOSPC),
                           self.tar[:2000 * BLOCK])

    def test_input_shrinking_before_the_data_copy(self):
        # Into an output the tool cannot go back in, the footer search holds
        # only the last few MiB of big's data; once it has read the footer,
        # the input shrinks, and the copy, which reads the first MiB or two
        # again, meets the new end.
        for label, shrink in (("to a block boundary", self.big_data + MIB + 2 * BLOCK),
                              ("inside a block", self.big_data + MIB + 1000),
                              ("to big's header", self.big_data)):
            with self.subTest(label):
                copied = (shrink - self.big_data) // BLOCK * BLOCK
                self.check_stopped({"shrink_to": shrink, "after": self.big_footer, "no_seek": 1}, CHANGED,
                                   self.tar[:4 * BLOCK + copied])


def main():
    global PLINT, GENERATE, SHIM
    parser = argparse.ArgumentParser()
    parser.add_argument("--plint", required=True)
    parser.add_argument("--generate", required=True)
    parser.add_argument("--shim", required=True)
    options, rest = parser.parse_known_args()
    PLINT, GENERATE, SHIM = (os.path.abspath(p) for p in (options.plint, options.generate, options.shim))
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
