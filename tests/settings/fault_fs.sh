#!/usr/bin/env bash
# Tiny filesystems for the settings fault tests, under DIR:
#   DIR/full     tmpfs of 256 KiB: a large save runs out of space
#   DIR/noinode  tmpfs of 3 inodes: the folder and two files, no third file
# and DIR/mounted once both are there. Mounting needs root; where it is not
# allowed, the tests that need these folders skip and say so.
#
#   fault_fs.sh mount DIR | unmount DIR
set -u
action=$1
dir=$2

unmount() {
  for fs in full noinode; do
    if mountpoint -q "$dir/$fs"; then
      umount "$dir/$fs" 2>/dev/null || umount -l "$dir/$fs"
    fi
  done
  rm -f "$dir/mounted"
}

case "$action" in
  mount)
    unmount
    mkdir -p "$dir/full" "$dir/noinode"
    if mount -t tmpfs -o size=256k,mode=0777 tmpfs "$dir/full" 2>/dev/null &&
       mount -t tmpfs -o size=1m,nr_inodes=3,mode=0777 tmpfs "$dir/noinode" 2>/dev/null; then
      touch "$dir/mounted"
    else
      unmount
      echo "fault_fs: cannot mount tmpfs here; the tests that need it will skip"
    fi
    ;;
  unmount)
    unmount
    ;;
  *)
    echo "usage: $0 mount|unmount DIR" >&2
    exit 2
    ;;
esac
exit 0
