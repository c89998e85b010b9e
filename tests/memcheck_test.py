#!/usr/bin/env python3
"""The built plint binary under valgrind memcheck: conversions, refusals,
broken archives and injected faults (through the fault shim), then the whole
command-line suite (cli_test.py) with the tool run under valgrind. Any memory
error or definite or indirect leak makes valgrind end the run with status 99.

    python3 memcheck_test.py --plint PATH --generate PATH --shim PATH [--cli-test PATH]
"""
import argparse
import io
import os
import random
import shlex
import stat
import subprocess
import sys
import tarfile
import tempfile
import unittest
from pathlib import Path

PLINT = GENERATE = SHIM = CLI_TEST = None
VALGRIND_ERROR = 99
VALGRIND = ["valgrind", "--tool=memcheck", "-q", "--error-exitcode=%d" % VALGRIND_ERROR,
            "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
            "--show-leak-kinds=definite,indirect", "--track-fds=no"]
DATA = Path(__file__).resolve().parent / "data"
MIB = 1 << 20


def big_tar():
    """An entry of 5 MiB, more than the tool's buffers hold, between two small ones."""
    rng = random.Random(7)
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, size in (("a", 700), ("big", 5 * MIB + 100), ("c", 10)):
            info = tarfile.TarInfo(name)
            info.size = size
            tar.addfile(info, io.BytesIO(rng.randbytes(size)))
    return out.getvalue()


class MemcheckTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="plint-memcheck-")
        self.addCleanup(tmp.cleanup)
        self.dir = Path(tmp.name)
        sample = (DATA / "sample.plint").read_bytes()
        (self.dir / "sample.plint").write_bytes(sample)
        (self.dir / "big.tar").write_bytes(big_tar())
        subprocess.run([GENERATE, "big.tar", "big.plint"], cwd=self.dir, check=True, stderr=subprocess.DEVNULL)
        (self.dir / "no_footer.plint").write_bytes(sample[:6144])
        (self.dir / "partial.plint").write_bytes(sample + b"tail")
        log_footer = bytearray(sample[4608:5120])  # its size field says 2030; make it 100
        log_footer[124:136] = b"%011o\0" % 100
        log_footer[148:156] = b" " * 8
        log_footer[148:156] = b"%06o\0 " % sum(log_footer)
        (self.dir / "bad_size.plint").write_bytes(sample[:4608] + bytes(log_footer) + sample[5120:])
        (self.dir / "folder").mkdir()
        os.link(self.dir / "sample.plint", self.dir / "hard_link.plint")

    def memcheck(self, args, status, faults=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("PLINT_FAULT_")}
        if faults:
            env["LD_PRELOAD"] = SHIM
            env.update({"PLINT_FAULT_" + k.upper(): str(v) for k, v in faults.items()})
        run = subprocess.run(VALGRIND + [PLINT] + args, cwd=self.dir, env=env, capture_output=True,
                             timeout=300)
        self.assertEqual(run.returncode, status, run.stderr.decode(errors="replace"))
        self.assertEqual(run.stderr, b"", "valgrind reported")

    def test_runs_under_memcheck(self):
        cases = [
            ("help", ["-h"], 0, None),
            ("no arguments", [], 1, None),
            ("sample", ["sample.plint", "out.tar"], 0, None),
            ("entry bigger than the buffers, written during its footer search", ["big.plint", "out.tar"], 0, None),
            ("entry bigger than the buffers, read twice", ["big.plint", "/dev/null"], 0, None),
            ("no footer", ["no_footer.plint", "out.tar"], 1, None),
            ("partial block", ["partial.plint", "out.tar"], 1, None),
            ("footer size disagrees", ["bad_size.plint", "out.tar"], 1, None),
            ("missing input", ["missing.plint", "out.tar"], 1, None),
            ("input is a folder", ["folder", "out.tar"], 1, None),
            ("output is the input", ["sample.plint", "hard_link.plint"], 1, None),
            ("output cannot be opened", ["sample.plint", "folder"], 1, None),
            ("full disk", ["sample.plint", "/dev/full"], 1, None),
            ("read fails", ["big.plint", "out.tar"], 1, {"read_eio_at": MIB + 4096}),
            ("write and close fail", ["big.plint", "out.tar"], 1, {"write_enospc_at_block": 1000, "close_eio": 1}),
            # The output taken for a pipe, so that big's start is read again
            # after its footer, when the input has shrunk.
            ("input shrinks", ["big.plint", "out.tar"], 1,
             {"shrink_to": MIB // 2, "after": 5 * MIB + 4096, "no_seek": 1}),
        ]
        for label, args, status, faults in cases:
            with self.subTest(label):
                self.memcheck(args, status, faults)

    def test_cli_suite_under_memcheck(self):
        if not CLI_TEST or not os.path.exists(CLI_TEST):
            self.skipTest("no cli_test.py")
        wrapper = self.dir / "plint-memcheck"
        wrapper.write_text("#!/bin/sh\nexec %s %s \"$@\"\n" % (shlex.join(VALGRIND), shlex.quote(PLINT)))
        wrapper.chmod(wrapper.stat().st_mode | stat.S_IXUSR)
        run = subprocess.run([sys.executable, CLI_TEST, "--plint", str(wrapper), "--generate", GENERATE],
                             capture_output=True, timeout=1200)
        self.assertEqual(run.returncode, 0, run.stdout.decode(errors="replace") +
                         run.stderr.decode(errors="replace")[-6000:])


def main():
    global PLINT, GENERATE, SHIM, CLI_TEST
    parser = argparse.ArgumentParser()
    parser.add_argument("--plint", required=True)
    parser.add_argument("--generate", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--cli-test")
    options, rest = parser.parse_known_args()
    PLINT, GENERATE, SHIM = (os.path.abspath(p) for p in (options.plint, options.generate, options.shim))
    CLI_TEST = options.cli_test and os.path.abspath(options.cli_test)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
