#!/usr/bin/env python3
"""Checks the manual page: groff (and mandoc, where installed) format it
without a warning, and its DIAGNOSTICS section lists every message that the
tool's sources can print, with the same fixed text around the format fields
and an italic placeholder for each field, and no message that they cannot.

    python3 man_test.py --page doc/plint.1 --sources src --version 1.1 [unittest options]
"""
import argparse
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

PAGE = None
SOURCES = None
VERSION = None

SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "DIAGNOSTICS", "EXAMPLES",
            "LIMITS", "SEE ALSO"]

# The positions of each converted entry go out at level 2, above the level
# that is shown, so no user ever sees them.
HIDDEN_MESSAGES = ("Plint header pos:", "PFooter pos:")

# A call whose string literal argument is a message or its format.
MESSAGE_CALL = re.compile(r"\b(?:emit_message\s*\(\s*\d+\s*,|format_message\s*\(|error\s*\()\s*$")

PRINTF_FIELD = re.compile(
    r"%(?:%|[-+ #0]*(?:\*|\d+)?(?:\.(?:\*|\d+))?(?:hh|h|ll|l|j|z|t|L)?[diouxXcsfFeEgGaAp])")

PLACEHOLDER = "\x01"  # stands for one italic word of the formatted page

SIMPLE_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'",
                  "a": "\a", "b": "\b", "f": "\f", "v": "\v", "?": "?"}


def decode_literal(body):
    """The text of a C string literal's body, escapes resolved."""
    out, i = [], 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        nxt = body[i + 1]
        if nxt in "01234567":
            digits = re.match(r"[0-7]{1,3}", body[i + 1:]).group()
            out.append(chr(int(digits, 8)))
            i += 1 + len(digits)
        elif nxt == "x":
            digits = re.match(r"[0-9a-fA-F]+", body[i + 2:]).group()
            out.append(chr(int(digits, 16)))
            i += 2 + len(digits)
        else:
            out.append(SIMPLE_ESCAPES[nxt])
            i += 2
    return "".join(out)


def string_literals(source):
    """(text before it, decoded text) for each string literal of a C++ source,
    adjacent literals joined, comments and character literals skipped."""
    found = []
    i, n = 0, len(source)
    while i < n:
        if source.startswith("//", i):
            i = source.find("\n", i)
            i = n if i < 0 else i
        elif source.startswith("/*", i):
            i = source.index("*/", i) + 2
        elif source[i] == "'":
            match = re.compile(r"'(?:[^'\\]|\\.)*'").match(source, i)
            i = match.end()
        elif source[i] == '"':
            start, parts = i, []
            literal = re.compile(r'"((?:[^"\\\n]|\\.)*)"\s*')
            while i < n and source[i] == '"':
                match = literal.match(source, i)
                parts.append(decode_literal(match.group(1)))
                i = match.end()
            found.append((source[:start], "".join(parts)))
        else:
            i += 1
    return found


def tool_messages(sources):
    """Every message text that the tool's sources can print: each literal
    handed to a message call, and each literal that ends a line as a message
    does, wherever it stands."""
    messages = set()
    for path in sorted(Path(sources).glob("*.cpp")):
        for before, text in string_literals(path.read_text()):
            if not (MESSAGE_CALL.search(before) or text.endswith("\n")):
                continue
            if not re.search(r"[A-Za-z]", PRINTF_FIELD.sub("", text)):
                continue  # "%s" or "\n": no text of a message's own
            if text.startswith(HIDDEN_MESSAGES):
                continue
            messages.add(text)
    return messages


def message_pattern(text):
    """The line a message gives in the formatted page: its fixed text, and a
    placeholder for each format field."""
    pieces = PRINTF_FIELD.split(text.rstrip("\n"))
    fields = PRINTF_FIELD.findall(text)
    line = pieces[0]
    for field, piece in zip(fields, pieces[1:]):
        line += ("%" if field == "%%" else PLACEHOLDER) + piece
    return line


def decode_overstrikes(line):
    """(char, font) pairs of a line that grotty -c wrote: "X\\bX" is bold,
    "_\\bX" italic."""
    cells, i = [], 0
    while i < len(line):
        chars = [line[i]]
        i += 1
        while i + 1 < len(line) and line[i] == "\b":
            chars.append(line[i + 1])
            i += 2
        last = chars[-1]
        if len(chars) == 1:
            font = "R"
        elif "_" in chars[:-1] and last != "_":
            font = "I"
        else:
            font = "B"
        cells.append((last, font))
    return cells


def plain_line(cells):
    """The line with each italic word replaced by the placeholder."""
    out, in_italic = [], False
    for char, font in cells:
        if font == "I":
            if not in_italic:
                out.append(PLACEHOLDER)
            in_italic = True
            continue
        in_italic = False
        out.append(char)
    return "".join(out).rstrip()


def run(command):
    return subprocess.run(command, capture_output=True, text=True, timeout=60)


class ManualPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A long line length keeps each message on a line of its own.
        result = run(["groff", "-man", "-T", "ascii", "-P", "-c", "-rLL=300n", str(PAGE)])
        assert result.returncode == 0, result.stderr
        cls.lines = [decode_overstrikes(line) for line in result.stdout.splitlines()]
        cls.text = ["".join(char for char, _ in cells) for cells in cls.lines]

    def test_groff_formats_without_warnings(self):
        # The default device (PostScript) and a terminal's lack different
        # characters.
        for device in ([], ["-T", "utf8"]):
            with self.subTest(device=device):
                result = run(["groff", "-man", "-ww", "-z", *device, str(PAGE)])
                self.assertEqual((result.returncode, result.stderr), (0, ""))

    @unittest.skipUnless(shutil.which("mandoc"), "mandoc is not installed")
    def test_mandoc_finds_nothing_to_report(self):
        result = run(["mandoc", "-T", "lint", str(PAGE)])
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_sections_and_version(self):
        headings = [line for line in self.text if line and not line[0].isspace()]
        self.assertEqual(headings[1:-1], SECTIONS)  # the first and last are the title lines
        self.assertIn(f"plint {VERSION}", headings[-1])

    def diagnostics(self):
        """The DIAGNOSTICS section's lines and the indentation of its text."""
        start = self.text.index("DIAGNOSTICS") + 1
        end = next(i for i in range(start, len(self.text))
                   if self.text[i] and not self.text[i][0].isspace())
        section = [(plain_line(cells), cells) for cells in self.lines[start:end]]
        indent = min(len(line) - len(line.lstrip(" ")) for line, _ in section if line.strip())
        return section, indent

    def test_every_message_is_listed(self):
        messages = tool_messages(SOURCES)
        # Both files hold messages; one from each shows that they were read.
        self.assertIn("Zavo plint tool version 1.1 (Morquel)\n", messages)
        self.assertIn("input file changed during conversion\n", messages)
        section, indent = self.diagnostics()
        listed = {line[indent:] for line, _ in section}
        missing = sorted(m for m in messages if message_pattern(m) not in listed)
        self.assertEqual(missing, [], "messages with no DIAGNOSTICS entry")

    def test_every_entry_is_a_message(self):
        # Entries start on the text's indentation (one more for a message that
        # starts with a space) in bold; the paragraphs below them are indented
        # further.
        patterns = {message_pattern(m) for m in tool_messages(SOURCES)}
        section, indent = self.diagnostics()
        entries = [line[indent:] for line, cells in section
                   if line.strip() and len(line) - len(line.lstrip(" ")) <= indent + 1
                   and cells[len(line) - len(line.lstrip(" "))][1] == "B"]
        self.assertIn("Zavo plint tool version 1.1 (Morquel)", entries)
        self.assertEqual([e for e in entries if e not in patterns], [],
                         "DIAGNOSTICS entries that the tool never prints")


class SourceScanTest(unittest.TestCase):
    """The scan must see messages however they are spelled in the source."""

    def test_literals(self):
        source = r'''
            // emit_message(0, "in a comment\n");
            char quote = '"';
            emit_message(0, "split " "in two %s\n", name);
            error(format_message("at %lld of %u, 100%% done\n", a, b));
            std::string s = "ends a line\n";
            emit_message(1, "%s", text.c_str());
            emit_message(0, "no newline");
            x = "\\" "\x41\101";
        '''
        texts = [text for _, text in string_literals(source)]
        self.assertEqual(texts, ["split in two %s\n", "at %lld of %u, 100%% done\n",
                                 "ends a line\n", "%s", "no newline", "\\AA"])
        self.assertEqual(message_pattern("at %lld of %u, 100%% done\n"),
                         f"at {PLACEHOLDER} of {PLACEHOLDER}, 100% done")

    def test_overstrikes(self):
        line = "B\bBo\bo _\bx_\by!"
        self.assertEqual(plain_line(decode_overstrikes(line)), f"Bo {PLACEHOLDER}!")


def main():
    global PAGE, SOURCES, VERSION
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--sources", required=True)
    parser.add_argument("--version", required=True)
    args, rest = parser.parse_known_args()
    PAGE, SOURCES, VERSION = Path(args.page), Path(args.sources), args.version
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
