#!/usr/bin/env python3
"""Archives past the old 32-bit limits, built as sparse files so they cost
little disk: entry data is a hole except for a few marked blocks.

- An input over 4 GiB: ordinary entries before and after one placeholder
  entry of 4 GiB + 1000 bytes whose footer a 32-bit writer wrapped (it says
  1000). The tool writes into a FIFO; this script reads the FIFO, checks the
  rewritten header (full size in eleven octal digits) and the marked data
  blocks, and passes the stream on to `tar -tvf -`, which must list every
  entry with its right size.
- An entry of 8 GiB + 1000 bytes: the "too large" message, status 1, and
  the entries after it converted.

Exits 77 (a skip for CTest) with a note when the temporary folder's file
system cannot hold sparse files or lacks room.

    python3 large_archive_test.py --plint PATH [unittest options]
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import unittest

PLINT = None
BLOCK = 512
GIB = 1 << 30
ROOM_NEEDED = 256 << 20  # headers, footers, the marked blocks and the small outputs, with margin
BANNER = b"Zavo plint tool version 1.1 (Morquel)\n"
HUGE_4 = 4 * GIB + 1000
HUGE_8 = 8 * GIB + 1000


def checksummed(block):
    block = bytearray(block)
    block[148:156] = b" " * 8
    block[148:156] = b"%06o\0 " % sum(block)
    return bytes(block)


def header(name, size):
    info = tarfile.TarInfo(name)
    info.size = size
    info.mtime = 1767225600
    info.mode = 0o644
    return info.tobuf(format=tarfile.USTAR_FORMAT)


def placeholder(name):
    block = bytearray(header(name, 0))
    block[124:136] = b"37777777777\0"
    return checksummed(block)


def footer(wrapped_size, template):
    """A footer saying wrapped_size, made from one the project's generator
    wrote (it holds both marks)."""
    block = bytearray(template)
    block[124:136] = b"%011o\0" % wrapped_size
    return checksummed(block)


def marker(text):
    return (text.encode() * BLOCK)[:BLOCK]


class SparseArchive:
    """Writes blocks at chosen offsets; everything between is a hole."""

    def __init__(self, path):
        self.file = open(path, "wb")
        self.end = 0

    def put(self, data, at=None):
        if at is not None:
            self.end = at
        self.file.seek(self.end)
        self.file.write(data)
        self.end += len(data)

    def skip(self, length):
        self.end += length

    def close(self):
        self.file.truncate(self.end)
        self.file.close()


def blocks_of(size):
    return (size + BLOCK - 1) // BLOCK * BLOCK


class LargeArchiveTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="plint-large-")
        cls.dir = cls._tmp.name
        cls.footer_template = footer_from_generator(cls.dir)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def build(self, name, huge_size, marks):
        """before (1000 bytes), the placeholder entry `huge` of huge_size
        bytes with a footer saying huge_size modulo 2^32, after (700 bytes),
        the end-of-archive blocks. marks: {offset in huge's data: block}."""
        archive = SparseArchive(self.path(name))
        archive.put(header("before", 1000) + marker("before") + marker("before"))
        archive.put(placeholder("huge"))
        data_start = archive.end
        for offset, block in marks.items():
            archive.put(block, data_start + offset)
        archive.end = data_start + blocks_of(huge_size)
        archive.put(footer(huge_size % (1 << 32), self.footer_template))
        archive.put(header("after", 700) + marker("after") + marker("after") + bytes(2 * BLOCK))
        archive.close()
        used = os.stat(self.path(name)).st_blocks * 512
        if used > 64 << 20:
            os.unlink(self.path(name))
            self.skipTest("the file system of %s keeps no sparse files (%d bytes used)" % (self.dir, used))
        return data_start

    def test_entry_over_4_gib_with_a_wrapped_footer_through_a_fifo(self):
        marks = {0: marker("first"), 4 * GIB - BLOCK: marker("below 4 GiB"), 4 * GIB: marker("at 4 GiB"),
                 blocks_of(HUGE_4) - BLOCK: marker("last")}
        self.build("big.plint", HUGE_4, marks)
        self.assertGreater(os.path.getsize(self.path("big.plint")), 4 * GIB)
        fifo = self.path("out.fifo")
        os.mkfifo(fifo)
        try:
            tar = subprocess.Popen(["tar", "-tvf", "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
            reader = StreamCheck(fifo, tar.stdin, {3 * BLOCK: "header", 4 * BLOCK: "data"})
            reader.start()
            run = subprocess.run([PLINT, self.path("big.plint"), fifo], capture_output=True, timeout=600)
            if reader.is_alive() and run.returncode != 0:
                # The tool never opened the FIFO: let the reader's open return.
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            reader.join()
            # The reader closed tar's input; its listing is a few lines.
            listing, tar_errors = tar.stdout.read(), tar.stderr.read()
            tar.wait(timeout=60)
        finally:
            os.unlink(fifo)
            os.unlink(self.path("big.plint"))
        self.assertIsNone(reader.error)
        self.assertEqual(run.stdout, BANNER + b"input file: %s\noutput file: %s\n" %
                         (self.path("big.plint").encode(), fifo.encode()))
        self.assertEqual(run.returncode, 0)
        self.assertEqual((tar.returncode, tar_errors), (0, b""))
        self.assertEqual(reader.length, 3 * BLOCK + BLOCK + blocks_of(HUGE_4) + 5 * BLOCK)

        huge_header = reader.blocks["header"]
        self.assertEqual(huge_header[124:136], b"%011o\0" % HUGE_4)
        self.assertEqual(huge_header[124:136], b"40000001750\0")
        self.assertEqual(checksummed(huge_header), huge_header)
        data_start = 4 * BLOCK
        for offset, block in marks.items():
            self.assertEqual(reader.marks.get(data_start + offset), hashlib.sha256(block).hexdigest(),
                             "data block at %d of the entry" % offset)

        entries = [line.split() for line in listing.decode().splitlines()]
        self.assertEqual([(e[-1], int(e[2])) for e in entries],
                         [("before", 1000), ("huge", HUGE_4), ("after", 700)])

    def test_entry_of_8_gib_is_left_out(self):
        self.build("huge.plint", HUGE_8, {0: marker("first"), blocks_of(HUGE_8) - BLOCK: marker("last")})
        try:
            run = subprocess.run([PLINT, "huge.plint", "out.tar"], cwd=self.dir, capture_output=True,
                                 timeout=600)
            with open(self.path("out.tar"), "rb") as out:
                output = out.read(1 << 20)
            listing = subprocess.run(["tar", "-tvf", "out.tar"], cwd=self.dir, capture_output=True)
        finally:
            for name in ("huge.plint", "out.tar"):
                if os.path.exists(self.path(name)):
                    os.unlink(self.path(name))
        self.assertEqual(run.stdout, BANNER + b"input file: huge.plint\noutput file: out.tar\n"
                         b"entry at offset 1536 is too large for a tar header\n")
        self.assertEqual(run.returncode, 1)
        self.assertEqual(output, header("before", 1000) + marker("before") * 2 +
                         header("after", 700) + marker("after") * 2 + bytes(2 * BLOCK))
        self.assertEqual(listing.returncode, 0, listing.stderr)
        self.assertEqual([(e[-1], int(e[2])) for e in map(str.split, listing.stdout.decode().splitlines())],
                         [("before", 1000), ("after", 700)])


class StreamCheck(threading.Thread):
    """Reads the tool's output from a FIFO and passes it on to tar's standard
    input, keeping the blocks at chosen offsets and a digest of every block
    that is not all zeros (the marked ones) by its offset."""

    def __init__(self, fifo, sink, keep):
        super().__init__()
        self.fifo, self.sink, self.keep = fifo, sink, keep
        self.blocks, self.marks = {}, {}
        self.length = 0
        self.error = None

    def run(self):
        zero = bytes(BLOCK)
        try:
            with open(self.fifo, "rb") as stream:
                pending = b""
                while True:
                    chunk = stream.read(1 << 20)
                    if not chunk:
                        break
                    self.forward(chunk)
                    data = pending + chunk
                    whole = len(data) // BLOCK * BLOCK
                    base = self.length - len(pending)
                    if data[:whole].strip(b"\0"):  # most chunks are holes: all zeros
                        for at in range(0, whole, BLOCK):
                            block = data[at:at + BLOCK]
                            if block != zero:
                                self.marks[base + at] = hashlib.sha256(block).hexdigest()
                                if base + at in self.keep:
                                    self.blocks[self.keep[base + at]] = block
                    pending = data[whole:]
                    self.length += len(chunk)
        except Exception as error:  # reported by the test, not lost in the thread
            self.error = error
        finally:
            if self.sink:
                self.sink.close()

    def forward(self, chunk):
        # tar may stop reading once it has met the end-of-archive blocks;
        # the rest of the stream is still read here, so the tool can finish.
        if self.sink:
            try:
                self.sink.write(chunk)
            except BrokenPipeError:
                self.sink = None


def footer_from_generator(folder):
    """The footer block that plint-generate writes, from a one-entry tar."""
    source, target = os.path.join(folder, "one.tar"), os.path.join(folder, "one.plint")
    with tarfile.open(source, "w", format=tarfile.USTAR_FORMAT) as tar:
        info = tarfile.TarInfo("one")
        tar.addfile(info)
    subprocess.run([GENERATE, "--percent", "100", source, target], check=True, stderr=subprocess.DEVNULL)
    with open(target, "rb") as f:
        data = f.read()
    os.unlink(source)
    os.unlink(target)
    return data[BLOCK:2 * BLOCK]


GENERATE = None


def main():
    global PLINT, GENERATE
    parser = argparse.ArgumentParser()
    parser.add_argument("--plint", required=True)
    parser.add_argument("--generate", required=True)
    options, rest = parser.parse_known_args()
    PLINT, GENERATE = os.path.abspath(options.plint), os.path.abspath(options.generate)
    folder = tempfile.gettempdir()
    free = shutil.disk_usage(folder).free
    if free < ROOM_NEEDED:
        print("SKIPPED: large archive tests need %d MiB free in %s, %d MiB there"
              % (ROOM_NEEDED >> 20, folder, free >> 20))
        sys.exit(77)
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False).result
    if result.skipped and result.testsRun == len(result.skipped):
        for _, reason in result.skipped:
            print("SKIPPED:", reason)
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
