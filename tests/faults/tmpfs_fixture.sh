#!/usr/bin/env bash
# A small drive for the disk-full test: a tmpfs mounted inside the test environment and
# mapped as drive Q: of its Wine prefix. Needs root (mount).
#
#   tmpfs_fixture.sh up ENVDIR [SIZE_MB]
#   tmpfs_fixture.sh down ENVDIR
set -euo pipefail

cmd=${1:?up or down}
envdir=${2:?test environment folder}
size_mb=${3:-24}
mnt=$envdir/faults_tmpfs
link=$envdir/prefix/dosdevices/q:

down() {
    rm -f "$link"
    if mountpoint -q "$mnt" 2>/dev/null; then
        # A Wine process that still has a file open there keeps the mount busy: detach it.
        umount "$mnt" 2>/dev/null || umount -l "$mnt"
    fi
    if [ -d "$mnt" ]; then rmdir "$mnt"; fi
}

case $cmd in
up)
    if [ ! -d "$envdir/prefix/dosdevices" ]; then
        echo "tmpfs_fixture: no Wine prefix in $envdir" >&2
        exit 1
    fi
    down
    mkdir -p "$mnt"
    mount -t tmpfs -o "size=${size_mb}m,mode=0755" zarvo_faults "$mnt"
    ln -sfn "$mnt" "$link"
    echo "tmpfs_fixture: ${size_mb} MiB at $mnt as Q:"
    ;;
down) down ;;
*) echo "usage: tmpfs_fixture.sh up|down ENVDIR [SIZE_MB]" >&2; exit 2 ;;
esac
