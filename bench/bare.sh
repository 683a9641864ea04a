#!/bin/sh
# The least a snapshot-based backup of a one-disk VM has to do, as three bare
# commands: freeze the base image behind an external overlay, copy it into a
# compressed qcow2, merge the overlay back. This is the floor the tool is
# measured against.
# With JOBS=N in the environment the copy converts out of order with N
# coroutines (-W -m N), as quorlane-backup --jobs N does.
# Usage: [JOBS=N] bare.sh VM TARGET BASE-IMAGE OVERLAY DESTINATION
set -eu
vm=$1 target=$2 base=$3 overlay=$4 dest=$5
parallel=${JOBS:+-W -m $JOBS}
virsh snapshot-create-as "$vm" quorlane-backup-temp --disk-only --atomic \
  --diskspec "$target,snapshot=external,file=$overlay"
# shellcheck disable=SC2086 # $parallel is empty or three words
qemu-img convert $parallel -O qcow2 -c -o compression_type=zstd "$base" "$dest"
virsh snapshot-delete "$vm" quorlane-backup-temp
