"""Checks shared by the install and package tests: an installed plint runs,
converts the sample archive, and man finds and formats its page."""
import os
import subprocess
import tempfile
from pathlib import Path

USAGE = b" command syntax: plint inputfile outputfile\n"


def check_tool_runs(test, plint, version, data_dir):
    """`plint -h` and a conversion of the sample plint archive."""
    result = subprocess.run([str(plint), "-h"], capture_output=True, timeout=30)
    test.assertEqual((result.returncode, result.stderr), (0, b""))
    banner = b"Zavo plint tool version %s " % version.encode()
    test.assertTrue(result.stdout.startswith(banner) and result.stdout.endswith(USAGE),
                    result.stdout)
    with tempfile.TemporaryDirectory() as scratch:
        output = Path(scratch) / "sample.tar"
        result = subprocess.run([str(plint), str(data_dir / "sample.plint"), str(output)],
                                capture_output=True, timeout=30)
        test.assertEqual(result.returncode, 0, result.stdout)
        test.assertEqual(output.read_bytes(), (data_dir / "sample.tar").read_bytes())


def check_man_shows_page(test, man_dir, page_file):
    """man, searching only man_dir, finds the page at page_file and formats it."""
    env = dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="80", LC_ALL="C")
    env.pop("MANPATH", None)
    found = subprocess.run(["man", "-M", str(man_dir), "-w", "plint"], capture_output=True,
                           text=True, env=env, timeout=60)
    test.assertEqual((found.returncode, found.stdout.strip()), (0, str(page_file)), found.stderr)
    shown = subprocess.run(["man", "-M", str(man_dir), "plint"], capture_output=True,
                           text=True, env=env, timeout=60)
    test.assertEqual(shown.returncode, 0, shown.stderr)
    test.assertRegex(shown.stdout, r"^PLINT\(1\) ")
    test.assertIn("plint - convert a plint archive into a plain tar archive", shown.stdout)
    test.assertIn("\nDIAGNOSTICS\n", shown.stdout)
