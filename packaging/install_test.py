#!/usr/bin/env python3
"""`cmake --install BUILD --prefix DIR` puts the tool in DIR/bin and its page,
as written, in DIR/share/man/man1, and nothing else; both work from there.

    python3 install_test.py --cmake CMAKE --build-dir BUILD --source-dir SOURCE \
        --version 1.1 [unittest options]
"""
import argparse
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from installed_tool import check_man_shows_page, check_tool_runs  # noqa: E402

CMAKE = None
BUILD_DIR = None
SOURCE_DIR = None
VERSION = None


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.prefix = Path(cls.scratch.name) / "prefix"
        result = subprocess.run([CMAKE, "--install", str(BUILD_DIR), "--prefix", str(cls.prefix)],
                                capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            cls.scratch.cleanup()
            raise AssertionError(f"cmake --install failed:\n{result.stdout}{result.stderr}")

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_installs_the_tool_and_its_page_only(self):
        files = sorted(str(p.relative_to(self.prefix)) for p in self.prefix.rglob("*")
                       if not p.is_dir())
        self.assertEqual(files, ["bin/plint", "share/man/man1/plint.1"])
        self.assertEqual((self.prefix / "bin/plint").stat().st_mode & 0o777, 0o755)
        page = self.prefix / "share/man/man1/plint.1"
        self.assertEqual(page.stat().st_mode & 0o777, 0o644)
        self.assertEqual(page.read_bytes(), (SOURCE_DIR / "doc/plint.1").read_bytes())

    def test_installed_tool_runs(self):
        check_tool_runs(self, self.prefix / "bin/plint", VERSION, SOURCE_DIR / "tests/data")

    def test_man_shows_installed_page(self):
        check_man_shows_page(self, self.prefix / "share/man",
                             self.prefix / "share/man/man1/plint.1")


def main():
    global CMAKE, BUILD_DIR, SOURCE_DIR, VERSION
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--version", required=True)
    args, rest = parser.parse_known_args()
    CMAKE, BUILD_DIR, SOURCE_DIR, VERSION = (args.cmake, Path(args.build_dir).resolve(),
                                             Path(args.source_dir).resolve(), args.version)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
