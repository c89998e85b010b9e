#!/usr/bin/env python3
"""Writes plint_fuzz's seed corpus: the test fixtures, plint archives that the
project's generator makes from small tar archives, and broken variants of them
(no footer, a footer without or with a wrong size, a cut-short end, a footer
cut short but still accepted, a stray footer, a placeholder inside a
placeholder entry).

    fuzz/make_corpus.py --generate build/plint-generate --out fuzz/corpus

Entries of up to a few KiB put data across the fuzz target's chunk sizes
(512 to 4096 bytes) while keeping each seed small enough to fuzz fast.
"""
import argparse
import io
import os
import shutil
import subprocess
import tarfile
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, '..', 'tests', 'data')
BLOCK = 512


def tar_bytes(files, fmt):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode='w', format=fmt) as tar:
        for name, size in files:
            info = tarfile.TarInfo(name)
            info.size = size
            info.mtime = 1767225600
            info.mode = 0o644
            data = bytes((i * 7 + len(name)) % 251 for i in range(size))
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


def generate(tool, tar, *options):
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, 'in.tar'), os.path.join(tmp, 'out.plint')
        with open(src, 'wb') as f:
            f.write(tar)
        subprocess.run([tool, *options, src, dst], check=True, stderr=subprocess.DEVNULL)
        with open(dst, 'rb') as f:
            return f.read()


def blocks(data):
    return [data[i:i + BLOCK] for i in range(0, len(data), BLOCK)]


def is_footer(block):
    # The generator's footers: both marks, so the name starts with 'D\x05c2'.
    return block[:4] == b'D\x05c2' and len(block) == BLOCK


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--generate', required=True)
    parser.add_argument('--out', required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    seeds = {}

    for name in ('sample.plint', 'sample.tar'):
        with open(os.path.join(DATA, name), 'rb') as f:
            seeds[name] = f.read()

    sizes = [('a', 0), ('b', 1), ('c', 511), ('d', 512), ('e', 513), ('f', 1500), ('g', 4096),
             ('h', 5000)]
    ustar = tar_bytes(sizes, tarfile.USTAR_FORMAT)
    gnu = tar_bytes([('long/' + 'n' * 120, 700), ('x', 30)], tarfile.GNU_FORMAT)
    pax = tar_bytes([('p', 1200), ('\u00e9t\u00e9', 10)], tarfile.PAX_FORMAT)
    seeds['ustar_all.plint'] = generate(args.generate, ustar, '--percent', '100')
    seeds['ustar_half.plint'] = generate(args.generate, ustar, '--percent', '50', '--seed', '3')
    seeds['ustar_wrapped.plint'] = generate(args.generate, ustar, '--wrap-footer-size')
    seeds['gnu.plint'] = generate(args.generate, gnu)
    seeds['pax.plint'] = generate(args.generate, pax)

    # Broken variants of a small archive: a (0 bytes), b (1), c (511).
    small = generate(args.generate, tar_bytes(sizes[:3], tarfile.USTAR_FORMAT))
    parts = blocks(small)
    footers = [i for i, b in enumerate(parts) if is_footer(b)]
    assert len(footers) == 3, footers
    seeds['no_footer.plint'] = b''.join(b for i, b in enumerate(parts) if i != footers[2])
    seeds['cut_in_footer.plint'] = b''.join(parts[:footers[1]]) + parts[footers[1]][:300]
    seeds['partial_tail.plint'] = small + b'tail'
    seeds['stray_footer.plint'] = parts[footers[0]] + small
    nested = list(parts)
    nested.insert(footers[1], parts[footers[1] - 2])  # b's placeholder header inside b's entry
    seeds['nested.plint'] = b''.join(nested)
    # A footer cut short after 300 bytes whose missing tail the block buffer
    # still holds from the entry's last data block: accepted as a footer.
    data_block = parts[footers[2] - 1][:300] + parts[footers[2]][300:]
    seeds['cut_footer_accepted.plint'] = b''.join(parts[:footers[2] - 1]) + data_block + \
        parts[footers[2]][:300]
    for label, field in (('nosize', b'\0' * 12), ('badsize', b'00000007777\0'),
                         ('minus', b'-1\0' + b'\0' * 9)):
        footer = bytearray(parts[footers[1]])
        footer[124:136] = field
        footer[148:156] = b' ' * 8
        footer[148:156] = b'%06o\0 ' % sum(footer)
        seeds['footer_%s.plint' % label] = b''.join(parts[:footers[1]]) + bytes(footer) + \
            b''.join(parts[footers[1] + 1:])

    for name, data in sorted(seeds.items()):
        with open(os.path.join(args.out, name), 'wb') as f:
            f.write(data)
        print('%-24s %6d bytes' % (name, len(data)))


if __name__ == '__main__':
    main()
