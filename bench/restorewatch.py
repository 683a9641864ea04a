#!/usr/bin/python3
"""Watches one restore of bench/run's restore part: when libvirt reports the
restored VM started, and when each line of its serial console arrives.

Listens for libvirt's lifecycle events over one connection (libvirt's Python
bindings; the event arrives when libvirt has started the VM's QEMU and let
its CPUs run) and looks at the console file every 10 ms, appending to LOG:

  EPOCH ready               listening: the restore may begin
  EPOCH event VM NAME       a lifecycle event of VM (STARTED, SUSPENDED, RESUMED, STOPPED, ...)
  EPOCH console LINE        a complete line that appeared in the console file
  EPOCH lost                libvirtd went away (other users of the machine
                            restart it); events until it answers again are missed

EPOCH is the host's clock when the event or the line was seen: a line within
about 10 ms of QEMU writing it. The console file need not exist yet; when it
shrinks (a new run truncated it) it is read from its start again.
Runs until it is killed.

Usage: restorewatch.py LOG CONSOLE VM
Runs with the system's python3, which has libvirt's bindings.
"""

import os
import sys
import time

import libvirt

POLL_MS = 10
EVENTS = {getattr(libvirt, n): n[len("VIR_DOMAIN_EVENT_"):] for n in dir(libvirt)
          if n.startswith("VIR_DOMAIN_EVENT_") and n.count("_") == 3
          and isinstance(getattr(libvirt, n), int)}


class Console:
    def __init__(self, path, out):
        self.path, self.out = path, out
        self.offset, self.partial = 0, b""

    def poll(self, *_args):
        try:
            size = os.stat(self.path).st_size
        except OSError:
            return
        if size < self.offset:
            self.offset, self.partial = 0, b""
        if size == self.offset:
            return
        with open(self.path, "rb") as handle:
            handle.seek(self.offset)
            data = handle.read(size - self.offset)
        now = time.time()
        self.offset += len(data)
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        for line in lines:
            text = line.decode(errors="replace").rstrip("\r")
            self.out.write(f"{now:.3f} console {text}\n")


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    log, console_path, vm = sys.argv[1:]
    libvirt.registerErrorHandler(lambda _ctx, _err: None, None)
    libvirt.virEventRegisterDefaultImpl()
    with open(log, "a", buffering=1) as out:
        console = Console(console_path, out)
        libvirt.virEventAddTimeout(POLL_MS, console.poll, None)
        closed = [True]

        def lifecycle(_conn, dom, event, _detail, _opaque):
            if dom.name() == vm:
                out.write(f"{time.time():.3f} event {vm} {EVENTS.get(event, event)}\n")

        def on_close(_conn, _reason, _opaque):
            closed[0] = True
            out.write(f"{time.time():.3f} lost\n")

        conn = None
        while True:
            if closed[0]:
                try:
                    conn = libvirt.open("qemu:///system")
                    conn.registerCloseCallback(on_close, None)
                    conn.setKeepAlive(5, 3)
                    conn.domainEventRegisterAny(None, libvirt.VIR_DOMAIN_EVENT_ID_LIFECYCLE,
                                                lifecycle, None)
                    closed[0] = False
                    out.write(f"{time.time():.3f} ready\n")
                except libvirt.libvirtError:
                    conn = None
                    console.poll()
                    time.sleep(0.5)
                    continue
            libvirt.virEventRunDefaultImpl()


if __name__ == "__main__":
    main()
