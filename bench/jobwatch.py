#!/usr/bin/python3
"""Notes when libvirt runs a job on each of the named VMs, for bench/run's
incremental part: the time a backup job (the tool's push job, virtnbdbackup's
pull job) holds the VM, during which every guest write to a block not yet
copied first has its old contents copied out.

Asks libvirt for each VM's job type every POLL seconds over one connection
(no virsh process per question, so the polling costs the machine next to
nothing) and appends a line to LOG whenever it changes:

  EPOCH VM active TYPE     a job began (TYPE as libvirt numbers it: 1 bounded, 2 unbounded)
  EPOCH VM none            it ended

EPOCH is the host's clock when the answer came; a job's start and end are
known to within one poll. If libvirtd goes away (other users of the machine
restart it), it connects again and writes "EPOCH VM lost" for the gap.
Runs until it is killed.

Usage: jobwatch.py LOG VM...
Runs with the system's python3, which has libvirt's bindings.
"""

import sys
import time

import libvirt

POLL = 0.05


def connect(names):
    while True:
        try:
            conn = libvirt.open("qemu:///system")
            return conn, {name: conn.lookupByName(name) for name in names}
        except libvirt.libvirtError:
            time.sleep(1)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    log, names = sys.argv[1], sys.argv[2:]
    libvirt.registerErrorHandler(lambda _ctx, _err: None, None)
    conn, domains = connect(names)
    state = {name: None for name in names}
    with open(log, "a", buffering=1) as out:
        while True:
            for name, dom in domains.items():
                try:
                    kind = dom.jobInfo()[0]
                except libvirt.libvirtError:
                    if conn.isAlive():
                        continue  # the VM is busy being started or stopped: ask again
                    for lost in names:
                        out.write(f"{time.time():.3f} {lost} lost\n")
                        state[lost] = None
                    conn, domains = connect(names)
                    break
                now = time.time()
                if kind != state[name]:
                    out.write(f"{now:.3f} {name} none\n" if kind == libvirt.VIR_DOMAIN_JOB_NONE
                              else f"{now:.3f} {name} active {kind}\n")
                    state[name] = kind
            time.sleep(POLL)


if __name__ == "__main__":
    main()
