#!/usr/bin/env python3
"""Runs the built plint binary as a user would: arguments, file names, the
files it refuses, and a few broken archives. Every run must leave standard
error empty and end with status 0 or 1; standard output is compared byte for
byte with the whole text the run must print.

    python3 cli_test.py --plint PATH --generate PATH [unittest options]
"""
import argparse
import os
import stat
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

PLINT = None
DATA = Path(__file__).resolve().parent / "data"
SAMPLE_PLINT = (DATA / "sample.plint").read_bytes()
SAMPLE_TAR = (DATA / "sample.tar").read_bytes()

BANNER = b"Zavo plint tool version 1.1 (Morquel)\n"
USAGE_ERROR = b"command syntax: plint inputfile outputfile\n"
USAGE = b" command syntax: plint inputfile outputfile\n"
NO_SUCH_FILE = b"No such file or directory"

# A run that refuses a FIFO must not wait for a writer; anything slower than
# this is a hang.
TIMEOUT_SECONDS = 5


def names(input_name, output_name):
    return b"input file: " + input_name + b"\noutput file: " + output_name + b"\n"


def input_open_failed(name, error):
    return b"Command open file  " + name + b" failed  " + error + b"\n\n"


def output_open_failed(name, error):
    return b"command open file  " + name + b" failed " + error + b"\n\n"


def checksum_field(block):
    """The chksum field a tar writer stores for this 512-byte header."""
    block = bytearray(block)
    block[148:156] = b" " * 8
    block[148:155] = b"%06o\0" % sum(block)
    return bytes(block)


def with_size(block, size):
    block = bytearray(block)
    block[124:136] = b"%011o\0" % size
    return checksum_field(block)


def long_path(length, leaf):
    """A relative name of exactly `length` bytes: folders of at most 200
    bytes each (every one within NAME_MAX) ending in `leaf`."""
    rest = length - len(leaf)
    parts = []
    while rest > 0:
        take = min(rest, 201)
        if rest - take == 1:  # a folder needs at least one byte and its slash
            take -= 1
        parts.append(b"d" * (take - 1) + b"/")
        rest -= take
    name = b"".join(parts) + leaf
    assert len(name) == length
    return name


class CliTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="plint-cli-")
        self.dir = Path(self._tmp.name)
        self.addCleanup(self._tmp.cleanup)
        self.write("in.plint", SAMPLE_PLINT)

    def path(self, name):
        return Path(os.fsdecode(self.dir)) / os.fsdecode(name)

    def write(self, name, data):
        path = self.path(name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def exists(self, name):
        return os.path.lexists(os.path.join(os.fsencode(self.dir), os.fsencode(name)))

    def run_plint(self, args, stdin=subprocess.DEVNULL, input_bytes=None):
        """Runs plint in the test's folder; returns (stdout, status)."""
        command = [os.fsencode(PLINT)] + [os.fsencode(a) for a in args]
        try:
            run = subprocess.run(command, cwd=self.dir, stdin=None if input_bytes is not None else stdin,
                                 input=input_bytes, capture_output=True, timeout=TIMEOUT_SECONDS)
        except subprocess.TimeoutExpired:
            self.fail(f"plint {args!r} still running after {TIMEOUT_SECONDS} s")
        self.assertEqual(run.stderr, b"", f"plint {args!r} wrote to standard error")
        self.assertIn(run.returncode, (0, 1), f"plint {args!r} exit status")
        return run.stdout, run.returncode

    def check_run(self, args, want_stdout, want_status, **kwargs):
        got_stdout, got_status = self.run_plint(args, **kwargs)
        if got_stdout != want_stdout or got_status != want_status:
            self.fail(f"plint {args!r}\n"
                      f"  got    status {got_status}, stdout {got_stdout!r}\n"
                      f"  wanted status {want_status}, stdout {want_stdout!r}")

    def check_file(self, name, want):
        got = self.path(name).read_bytes()
        if got != want:
            at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
            self.fail(f"{name!r}: {len(got)} bytes, wanted {len(want)}; first difference at offset {at}\n"
                      f"  got    {got[at:at + 32].hex(' ')}\n  wanted {want[at:at + 32].hex(' ')}")

    # --- arguments -------------------------------------------------------

    def test_argument_counts(self):
        ok = BANNER + names(b"in.plint", b"out.tar")
        cases = [
            ([], BANNER + USAGE_ERROR, 1),
            (["-h"], BANNER + USAGE, 0),
            (["in.plint"], BANNER + USAGE_ERROR, 1),
            (["-H"], BANNER + USAGE_ERROR, 1),
            (["--help"], BANNER + USAGE_ERROR, 1),
            # With a second argument "-h" is just a file name.
            (["-h", "x"], BANNER + names(b"-h", b"x") + input_open_failed(b"-h", NO_SUCH_FILE), 1),
            (["in.plint", "out.tar", "extra"], ok, 0),
            (["in.plint", "out.tar", "-h", "more"], ok, 0),
        ]
        for args, want_stdout, want_status in cases:
            with self.subTest(args=args):
                self.check_run(args, want_stdout, want_status)
                for name in ("x", "extra", "more"):
                    self.assertFalse(self.exists(name), f"{name} was created")
                if want_status == 0 and "out.tar" in args:
                    self.check_file("out.tar", SAMPLE_TAR)
                    self.path("out.tar").unlink()
                else:
                    self.assertFalse(self.exists("out.tar"))

    def test_conversion(self):
        """The sample converts to the sample tar, also over a longer file,
        which must be truncated, not overwritten in place."""
        for existing in (None, b"\xaa" * 20000):
            with self.subTest(existing_output=existing is not None):
                if existing is not None:
                    self.write("out.tar", existing)
                self.check_run(["in.plint", "out.tar"], BANNER + names(b"in.plint", b"out.tar"), 0)
                self.check_file("out.tar", SAMPLE_TAR)
                self.check_file("in.plint", SAMPLE_PLINT)

    def test_name_lengths(self):
        """512 bytes is the longest name accepted; a longer one is refused
        before any file is opened or created."""
        in512 = long_path(512, b"in.plint")
        out512 = long_path(512, b"out.tar")
        in513 = long_path(513, b"in.plint")
        out513 = long_path(513, b"out.tar")
        missing512 = long_path(512, b"no.plint")
        for name in (in512, in513):
            self.write(name, SAMPLE_PLINT)
        for name in (out512, out513, missing512):
            self.path(name).parent.mkdir(parents=True, exist_ok=True)
        cases = [
            (in512, out512, BANNER + names(in512, out512), 0),
            (missing512, out512, BANNER + names(missing512, out512) + input_open_failed(missing512, NO_SUCH_FILE), 1),
            (in513, b"out.tar", BANNER + b"name of input file too long\n", 1),
            (in513, out513, BANNER + b"name of input file too long\n", 1),
            (in512, out513, BANNER + b"name of output file too long\n", 1),
            (b"in.plint", out513, BANNER + b"name of output file too long\n", 1),
        ]
        for input_name, output_name, want_stdout, want_status in cases:
            with self.subTest(input=len(input_name), output=len(output_name), status=want_status):
                self.check_run([input_name, output_name], want_stdout, want_status)
                if want_status == 0:
                    self.check_file(output_name, SAMPLE_TAR)
                    self.path(output_name).unlink()
                for name in (b"out.tar", out512, out513):
                    self.assertFalse(self.exists(name), f"output of {len(name)} bytes was created")

    def test_hostile_names(self):
        """Names are bytes: spaces, line feeds, bytes that are not UTF-8 and a
        leading dash go through to the files and the messages unchanged."""
        cases = [
            (b"in put.plint", b"out put.tar"),
            (b"in\nput.plint", b"out\n.tar"),
            (b"in\xff\xfe.plint", b"out\x80\xc3.tar"),
            (b" ", b"-out.tar"),
            (b"\t", b"%s%d%n.tar"),  # format directives in a name are printed, not expanded
        ]
        for input_name, output_name in cases:
            with self.subTest(input=input_name, output=output_name):
                self.write(input_name, SAMPLE_PLINT)
                self.check_run([input_name, output_name], BANNER + names(input_name, output_name), 0)
                self.check_file(output_name, SAMPLE_TAR)

    # --- files that cannot be opened --------------------------------------

    def test_input_cannot_be_opened(self):
        """The input is opened first: when that fails the output is neither
        created nor truncated."""
        self.write("keep.tar", b"kept")
        cases = [
            (b"missing.plint", b"out.tar"),
            (b"", b"out.tar"),
            (b"nodir/in.plint", b"out.tar"),
            (b"missing.plint", b"keep.tar"),
        ]
        for input_name, output_name in cases:
            with self.subTest(input=input_name, output=output_name):
                self.check_run([input_name, output_name],
                               BANNER + names(input_name, output_name) + input_open_failed(input_name, NO_SUCH_FILE), 1)
                self.assertFalse(self.exists("out.tar"))
                self.check_file("keep.tar", b"kept")

    def test_output_cannot_be_opened(self):
        self.path("adir").mkdir()
        cases = [
            (b"adir", b"Is a directory"),
            (b"nodir/out.tar", NO_SUCH_FILE),
            (b"in.plint/out.tar", b"Not a directory"),
        ]
        for output_name, error in cases:
            with self.subTest(output=output_name):
                self.check_run(["in.plint", output_name],
                               BANNER + names(b"in.plint", output_name) + output_open_failed(output_name, error), 1)
                self.check_file("in.plint", SAMPLE_PLINT)
                self.assertEqual(list(self.path("adir").iterdir()), [])

    def test_same_file(self):
        """Opening the output would empty the input: every name of the same
        file is refused and the input keeps its bytes."""
        os.symlink("in.plint", self.path("link.plint"))
        os.link(self.path("in.plint"), self.path("hard.plint"))
        self.path("sub").mkdir()
        cases = [
            (b"in.plint", b"in.plint"),
            (b"in.plint", b"./in.plint"),
            (b"in.plint", b"sub/../in.plint"),
            (b"in.plint", b"link.plint"),
            (b"link.plint", b"in.plint"),
            (b"in.plint", b"hard.plint"),
            (b"hard.plint", b"link.plint"),
        ]
        for input_name, output_name in cases:
            with self.subTest(input=input_name, output=output_name):
                self.check_run([input_name, output_name],
                               BANNER + names(input_name, output_name) + b"input file and output file are the same\n", 1)
                self.check_file("in.plint", SAMPLE_PLINT)
        self.assertTrue(os.path.islink(self.path("link.plint")))

    def test_input_not_seekable(self):
        """A placeholder entry may be read twice, so only files that can be
        read again are taken. A FIFO without a writer is refused without
        waiting."""
        os.mkfifo(self.path("fifo"))
        self.path("adir").mkdir()
        cases = [
            (b"fifo", {}),
            (b"adir", {}),
            (b"/dev/null", {}),
            (b"/dev/stdin", {"input_bytes": SAMPLE_PLINT}),  # a pipe
        ]
        for input_name, kwargs in cases:
            with self.subTest(input=input_name):
                self.check_run([input_name, "out.tar"],
                               BANNER + names(input_name, b"out.tar")
                               + b"input file " + input_name + b" is not a seekable file\n", 1, **kwargs)
                self.assertFalse(self.exists("out.tar"))

    def test_output_full(self):
        """A write that fails is reported once, however many writes follow;
        the partial-block note is not added after it."""
        if not os.path.exists("/dev/full") or not stat.S_ISCHR(os.stat("/dev/full").st_mode):
            self.skipTest("no /dev/full")
        cases = [
            ("sample", SAMPLE_PLINT),
            # Several MiB, so the tool writes many times after the first failure.
            ("long with partial block", SAMPLE_PLINT + bytes(3 << 20) + SAMPLE_PLINT + b"tail"),
        ]
        for label, data in cases:
            with self.subTest(input=label):
                self.write("big.plint", data)
                self.check_run(["big.plint", "/dev/full"],
                               BANNER + names(b"big.plint", b"/dev/full")
                               + b"write of output file /dev/full failed No space left on device\n", 1)

    # --- broken archives -----------------------------------------------------

    def test_broken_archives(self):
        """A few archive faults through the binary: message, status 1 and the
        output written up to the fault."""
        # sample.plint: placeholder entries at 0, 1024, 2048 (four data blocks,
        # footer at 4608) and 5120 (one data block, footer at 6144).
        # sample.tar: the same entries at 0, 512, 1024 and 3584.
        log_footer = SAMPLE_PLINT[4608:5120]
        short_log = SAMPLE_TAR[:1024] + with_size(SAMPLE_TAR[1024:1536], 100) + SAMPLE_TAR[1536:]
        cases = [
            ("no footer", SAMPLE_PLINT[:6144],
             b"no footer for placeholder header at offset 5120\n", SAMPLE_TAR[:3584]),
            ("partial final block", SAMPLE_PLINT + b"x" * 100,
             b"input file ends with a partial block of 100 bytes\n", SAMPLE_TAR),
            ("no footer, partial final block", SAMPLE_PLINT[:6144] + b"tail",
             b"no footer for placeholder header at offset 5120\n"
             b"input file ends with a partial block of 4 bytes\n", SAMPLE_TAR[:3584]),
            ("footer size too small for its data", SAMPLE_PLINT[:4608] + with_size(log_footer, 100) + SAMPLE_PLINT[5120:],
             b"footer at offset 4608 gives size 100 for 4 data blocks\n", short_log),
        ]
        for label, data, message, want_output in cases:
            with self.subTest(label):
                self.write("broken.plint", data)
                self.check_run(["broken.plint", "out.tar"], BANNER + names(b"broken.plint", b"out.tar") + message, 1)
                self.check_file("out.tar", want_output)


def main():
    global PLINT
    parser = argparse.ArgumentParser()
    parser.add_argument("--plint", required=True)
    parser.add_argument("--generate", required=True)
    options, rest = parser.parse_known_args()
    PLINT = os.path.abspath(options.plint)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
