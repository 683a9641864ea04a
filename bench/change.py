#!/usr/bin/python3
"""Changes a share of a disk's data in bench/run's incremental part: fresh
1 MiB blocks of the same mix as bench/mkdisk.py's disks (random bytes, text
and program code in the proportions 25 : 25 : 20, in random order) written
over COUNT of the disk's written blocks, picked at random across the whole
disk, through the QEMU of each running VM named, the way a guest write goes:
QEMU's `qemu-io` monitor command on the disk's device. The writes land in the
dirty bitmaps of the VMs' checkpoints like any guest write. All VMs get the
same blocks with the same contents; at the end each VM's QEMU flushes
the disk to its image.

Text and code are taken from the same corpus as the disk's, at random
offsets of their own, so a changed block compresses as well as the rest of
the disk does without being a copy of a block the disk already holds.

BLOCKS is a file with the numbers of the disk's written 1 MiB blocks, one a
line. PATTERN is a file QEMU (user libvirt-qemu) can read: each block is
written there first, then QEMU copies it to the disk. RECORD receives the
changed blocks one after the other, a raw file of COUNT MiB, for the
benchmark to compress on its own.

Usage: change.py BLOCKS COUNT SEED PATTERN RECORD VM...
Prints one line: "blocks=N random=.. text=.. code=.. (MiB) seconds=S".
Runs with the system's python3, which has libvirt's bindings.
"""

import os
import random
import re
import sys
import time

import libvirt
import libvirt_qemu

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mkdisk  # noqa: E402

BLOCK = mkdisk.BLOCK


def monitor(dom, command):
    return libvirt_qemu.qemuMonitorCommand(dom, command,
                                           libvirt_qemu.VIR_DOMAIN_QEMU_MONITOR_COMMAND_HMP)


def device(dom, target="vda"):
    """The device path of the disk TARGET for qemu-io ("Attached to:" in
    `info block`), found through the disk's alias in the live definition."""
    alias = re.search(r"<target dev='%s'[^>]*/>.*?<alias name='([^']+)'/>" % target,
                      dom.XMLDesc(), re.S)
    if not alias:
        sys.exit(f"change: no alias of {target} in the definition of {dom.name()}")
    for path in re.findall(r"Attached to:\s+(\S+)", monitor(dom, "info block")):
        if f"/{alias.group(1)}/" in path or path.endswith("/" + alias.group(1)):
            return path
    sys.exit(f"change: no block device of {target} ({alias.group(1)}) in {dom.name()}")


def qemu_io(dom, dev, command):
    reply = monitor(dom, f'qemu-io -d {dev} "{command}"').strip()
    if reply:
        sys.exit(f"change: qemu-io {command} on {dom.name()}: {reply}")


def main():
    if len(sys.argv) < 7:
        sys.exit(__doc__)
    blocks_file, count, seed, pattern, record = sys.argv[1:6]
    count, seed = int(count), int(seed)
    with open(blocks_file) as handle:
        written = [int(line) for line in handle if line.strip()]
    if count > len(written):
        sys.exit(f"change: {count} blocks asked for, the disk has {len(written)}")
    conn = libvirt.open("qemu:///system")
    doms = [conn.lookupByName(name) for name in sys.argv[6:]]
    devs = [device(dom) for dom in doms]

    text = mkdisk.corpus(mkdisk.TEXT_ROOTS, mkdisk.CORPUS_LIMIT)
    code = mkdisk.corpus(mkdisk.CODE_ROOTS, mkdisk.CORPUS_LIMIT)
    rng = random.Random(seed)
    chosen = sorted(rng.sample(written, count))
    # The kinds in the mix's proportions exactly, not by chance: a handful of
    # random blocks more or less would change how well a small change set
    # compresses.
    n_random = round(count * mkdisk.RANDOM_SHARE)
    n_text = round(count * mkdisk.TEXT_SHARE)
    order = ["random"] * n_random + ["text"] * n_text + ["code"] * (count - n_random - n_text)
    rng.shuffle(order)
    kinds = {"random": 0, "text": 0, "code": 0}
    started = time.monotonic()
    with open(record, "wb") as out:
        for block, kind in zip(chosen, order):
            if kind == "random":
                data = os.urandom(BLOCK)
            elif kind == "text":
                data = mkdisk.take(text, rng.randrange(len(text)))
            else:
                data = mkdisk.take(code, rng.randrange(len(code)))
            kinds[kind] += 1
            with open(pattern, "wb") as handle:
                handle.write(data)
            os.chmod(pattern, 0o644)
            for dom, dev in zip(doms, devs):
                qemu_io(dom, dev, f"write -s {pattern} {block * BLOCK} {BLOCK}")
            out.write(data)
    for dom, dev in zip(doms, devs):
        qemu_io(dom, dev, "flush")
    os.remove(pattern)
    print(f"blocks={count} " + " ".join(f"{k}={v}" for k, v in kinds.items())
          + f" seconds={time.monotonic() - started:.1f}")


if __name__ == "__main__":
    main()
