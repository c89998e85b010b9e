#!/usr/bin/env python3
"""Builds the Debian package with `cpack -G DEB` into a temporary folder and
inspects it with dpkg-deb: its name, its control fields (Depends computed by
dpkg-shlibdeps), its files, and that the tool and its gzipped page work once
unpacked.

    python3 deb_test.py --cpack CPACK --build-dir BUILD --source-dir SOURCE \
        --version 1.1 [unittest options]
"""
import argparse
import gzip
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from installed_tool import check_man_shows_page, check_tool_runs  # noqa: E402

CPACK = None
BUILD_DIR = None
SOURCE_DIR = None
VERSION = None


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def control_fields(info):
    """The control fields that `dpkg-deb --info` shows after its summary of
    the package's parts, each indented by one space; continuation lines stay
    in their field."""
    lines = [line[1:] for line in info.splitlines()]
    first = next(i for i, line in enumerate(lines) if re.match(r"[A-Z][A-Za-z0-9-]*: ", line))
    fields, name = {}, None
    for line in lines[first:]:
        if line[:1] in (" ", "\t"):
            fields[name] += "\n" + line
        elif line:
            name, value = line.split(":", 1)
            fields[name] = value.strip()
    return fields


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.out = Path(cls.scratch.name)
        try:
            run([CPACK, "-G", "DEB", "--config", str(BUILD_DIR / "CPackConfig.cmake"),
                 "-B", str(cls.out)], cwd=BUILD_DIR)
            cls.arch = run(["dpkg", "--print-architecture"]).strip()
            cls.deb = cls.out / f"plint_{VERSION}_{cls.arch}.deb"
            cls.fields = control_fields(run(["dpkg-deb", "--info", str(cls.deb)]))
            cls.contents = run(["dpkg-deb", "--contents", str(cls.deb)])
            cls.root = cls.out / "root"
            run(["dpkg-deb", "--extract", str(cls.deb), str(cls.root)])
        except BaseException:
            cls.scratch.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_one_package_named_by_debian_rules(self):
        self.assertEqual([p.name for p in self.out.glob("*.deb")], [self.deb.name])

    def test_control_fields(self):
        f = self.fields
        self.assertEqual((f["Package"], f["Version"], f["Architecture"], f["Section"]),
                         ("plint", VERSION, self.arch, "utils"))
        self.assertRegex(f["Maintainer"], r"^\S.* <[^@<>\s]+@[^@<>\s]+>$")
        summary, *extended = f["Description"].split("\n")
        self.assertIn("tar archive", summary)
        self.assertGreater(len(extended), 1)
        # dpkg-shlibdeps: each library the binary links, with the lowest
        # version that has the symbols it uses.
        depends = dict(re.fullmatch(r"(\S+) \(>= (\S+)\)", d.strip()).groups()
                       for d in f["Depends"].split(","))
        self.assertLessEqual({"libc6", "libstdc++6"}, set(depends))

    def test_files_and_their_modes(self):
        entries = {}
        for line in self.contents.splitlines():
            mode, owner, _size, _date, _time, path = line.split(maxsplit=5)
            entries[path] = (mode, owner)
        self.assertEqual(entries, {
            "./usr/": ("drwxr-xr-x", "root/root"),
            "./usr/bin/": ("drwxr-xr-x", "root/root"),
            "./usr/bin/plint": ("-rwxr-xr-x", "root/root"),
            "./usr/share/": ("drwxr-xr-x", "root/root"),
            "./usr/share/man/": ("drwxr-xr-x", "root/root"),
            "./usr/share/man/man1/": ("drwxr-xr-x", "root/root"),
            "./usr/share/man/man1/plint.1.gz": ("-rw-r--r--", "root/root"),
        })

    def test_page_is_the_gzipped_source(self):
        page = self.root / "usr/share/man/man1/plint.1.gz"
        self.assertEqual(gzip.decompress(page.read_bytes()),
                         (SOURCE_DIR / "doc/plint.1").read_bytes())
        check_man_shows_page(self, self.root / "usr/share/man", page)

    def test_packaged_tool_runs(self):
        check_tool_runs(self, self.root / "usr/bin/plint", VERSION, SOURCE_DIR / "tests/data")


def main():
    global CPACK, BUILD_DIR, SOURCE_DIR, VERSION
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--version", required=True)
    args, rest = parser.parse_known_args()
    CPACK, BUILD_DIR, SOURCE_DIR, VERSION = (args.cpack, Path(args.build_dir).resolve(),
                                             Path(args.source_dir).resolve(), args.version)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
