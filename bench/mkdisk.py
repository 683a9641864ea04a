#!/usr/bin/env python3
"""Writes a sparse raw disk image filled the way a used guest disk looks.

The image is cut into 1 MiB blocks; each block is, in a fixed pseudo-random
order (so every run of the benchmark sees the same layout):

  never written (a hole, read back as zeros)          30 %
  incompressible data (os.urandom)                    25 %
  text: C headers, documentation, licences            25 %
  program code: shared libraries and executables      20 %

Text and code come from the files of this machine, read once into a corpus
and handed out block by block at a rotating offset, so that no two
neighbouring blocks are the same and a compressor gets no help from
repetition inside one cluster. The result is converted to qcow2 by the
caller; holes stay unallocated there, as on a thin-provisioned guest disk.

With --tree, the same blocks become the files of a directory instead, one
1 MiB file per block that is not a hole (DIR/000042 for block 42), for a file
system to be built from (mkfs.ext4 -d); the holes are its free space.

With --holes FRACTION, that share of the blocks is left unwritten instead of
30 %, and the written ones keep the same proportions among themselves
(random 25 : text 25 : code 20).

Usage: mkdisk.py [--holes FRACTION] PATH SIZE_BYTES
       mkdisk.py [--holes FRACTION] --tree DIR SIZE_BYTES
Prints one line with the number of bytes of each kind written.
"""

import os
import random
import sys

BLOCK = 1 << 20
CORPUS_LIMIT = 48 << 20

TEXT_ROOTS = ["/usr/include", "/usr/share/doc", "/usr/share/common-licenses", "/usr/share/perl5"]
CODE_ROOTS = ["/usr/lib/x86_64-linux-gnu", "/usr/bin", "/usr/sbin", "/usr/libexec"]


def corpus(roots, limit):
    chunks = []
    total = 0
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                path = os.path.join(dirpath, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                try:
                    with open(path, "rb") as handle:
                        data = handle.read(4 << 20)
                except OSError:
                    continue
                if name.endswith(".gz") or not data:
                    continue
                chunks.append(data)
                total += len(data)
                if total >= limit:
                    return b"".join(chunks)
    joined = b"".join(chunks)
    if len(joined) < 2 * BLOCK:
        sys.exit(f"mkdisk: too little material under {roots}")
    return joined


def take(buffer, offset):
    """One block of the corpus starting at offset, wrapping around."""
    offset %= len(buffer)
    piece = buffer[offset:offset + BLOCK]
    if len(piece) < BLOCK:
        piece += buffer[:BLOCK - len(piece)]
    return piece


# Where a roll in [0, 1) stops being a hole, random bytes and text.
DEFAULT_BOUNDS = (0.30, 0.55, 0.80)
# Of the written blocks: random, text (code is the rest).
RANDOM_SHARE, TEXT_SHARE = 25 / 70, 25 / 70


def bounds(holes):
    if holes is None:
        return DEFAULT_BOUNDS
    return holes, holes + (1 - holes) * RANDOM_SHARE, holes + (1 - holes) * (RANDOM_SHARE + TEXT_SHARE)


def blocks(size, holes=None):
    """(number, kind, data) of every 1 MiB block of a disk of size bytes;
    data is None for a hole."""
    text = corpus(TEXT_ROOTS, CORPUS_LIMIT)
    code = corpus(CODE_ROOTS, CORPUS_LIMIT)
    rng = random.Random(20240601)
    text_at = code_at = 0
    hole_below, random_below, text_below = bounds(holes)
    for block in range(size // BLOCK):
        roll = rng.random()
        if roll < hole_below:
            yield block, "hole", None
        elif roll < random_below:
            yield block, "random", os.urandom(BLOCK)
        elif roll < text_below:
            yield block, "text", take(text, text_at)
            text_at += BLOCK + 4099
        else:
            yield block, "code", take(code, code_at)
            code_at += BLOCK + 4099


def main():
    args = sys.argv[1:]
    holes = None
    if args[:1] == ["--holes"] and len(args) >= 2:
        holes = float(args[1])
        if not 0 <= holes < 1:
            sys.exit("mkdisk: --holes must be at least 0 and below 1")
        args = args[2:]
    tree = len(args) == 3 and args[0] == "--tree"
    if len(args) != 2 and not tree:
        sys.exit(__doc__)
    path, size = args[-2], int(args[-1])
    if size % BLOCK:
        sys.exit("mkdisk: size must be a multiple of 1 MiB")
    written = {"hole": 0, "random": 0, "text": 0, "code": 0}
    if tree:
        os.makedirs(path)
        for block, kind, data in blocks(size, holes):
            written[kind] += BLOCK
            if data is not None:
                with open(os.path.join(path, f"{block:06d}"), "wb") as out:
                    out.write(data)
    else:
        with open(path, "wb") as out:
            out.truncate(size)
            for block, kind, data in blocks(size, holes):
                written[kind] += BLOCK
                if data is not None:
                    out.seek(block * BLOCK)
                    out.write(data)
    print(" ".join(f"{kind}={count >> 20}MiB" for kind, count in written.items()))


if __name__ == "__main__":
    main()
