#!/usr/bin/env bash
# crash_test.sh TOOL DISK_LOGGER REPLAY SHIM
#
# Splits a 2 MiB image on ext4, xfs and btrfs (where mkfs exists) made on a
# disk whose writes and flushes are logged, then replays every state a power
# cut could leave (replay). SHIM, loaded into the tool, syncs right after the
# tool moves the image aside, so the states between that move and the removal
# are on the log too, and must be among those replayed. As a control, a split
# that does not sync must be caught on ext4, or the harness proves nothing.
# Needs root, loop devices, FUSE and fusermount3; exits 77 (skipped) without them.
set -euo pipefail
tool=$1 logger=$2 replay=$3 shim=$4
header_size=4660 seed=20261208

[ "$(id -u)" = 0 ] || { echo "skipped: needs root for loop devices and mounts"; exit 77; }
[ -c /dev/fuse ] && losetup -f >/dev/null 2>&1 || { echo "skipped: needs FUSE and loop devices"; exit 77; }
command -v fusermount3 >/dev/null || { echo "skipped: needs fusermount3 (Debian: fuse3)"; exit 77; }

work=$(mktemp -d)
cleanup() {
  umount "$work/mnt" 2>/dev/null || true
  [ -z "${dev:-}" ] || losetup -d "$dev" 2>/dev/null || true
  fusermount3 -u "$work/fuse" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/fuse" "$work/mnt"
head -c $((2 << 20)) /dev/urandom >"$work/image"
printf '\x34\x12\x00\x00' | dd of="$work/image" bs=1 seek=16 conv=notrunc status=none

# The split the tool makes, and one that writes the same files but syncs nothing.
split_tool() { LD_PRELOAD=$shim KIV_SHIM_SYNC_AFTER=1 "$tool" 16 a.img h.bin b.bin >/dev/null; }
split_unsynced() { head -c $header_size a.img >h.bin && tail -c +$((header_size + 1)) a.img >b.bin && rm a.img; }

# run FSTYPE SIZE SPLIT MKFS-OPTIONS...: one split on a logged disk, then its replay.
run() {
  local fstype=$1 size=$2 split=$3
  shift 3
  truncate -s 0 "$work/store" && truncate -s "$size" "$work/store"
  "$logger" "$work/fuse" "$work/store" "$work/log" "$size" &
  local logger_pid=$!
  until [ -e "$work/fuse/disk" ]; do sleep 0.05; done
  dev=$(losetup -f --show "$work/fuse/disk")
  # Small requests, as a real disk may tear a large one: more states to cut at.
  echo 16 >"/sys/block/${dev#/dev/}/queue/max_sectors_kb" 2>/dev/null || true
  "mkfs.$fstype" -q "$@" "$dev" >/dev/null
  mount "$dev" "$work/mnt"
  cp "$work/image" "$work/mnt/a.img"
  sync
  local mark
  mark=$(stat -c %s "$work/log")
  (cd "$work/mnt" && $split)
  umount "$work/mnt"
  losetup -d "$dev" && dev=
  fusermount3 -u "$work/fuse"
  wait "$logger_pid"
  local status=0
  "$replay" "$work/log" "$mark" "$size" "$fstype" "$work/image" $header_size $seed "$work" |
    tee "$work/replayed" || status=1
  if [ "$split" = split_tool ] && ! grep -q 'moved aside in [1-9]' "$work/replayed"; then
    echo "no state between moving the image aside and removing it was replayed"
    status=1
  fi
  return $status
}

failed=0
run ext4 $((16 << 20)) split_tool -E lazy_itable_init=0,lazy_journal_init=0 || failed=1
run ext4 $((16 << 20)) split_tool -O ^has_journal || failed=1
if command -v mkfs.xfs >/dev/null; then run xfs $((320 << 20)) split_tool -f || failed=1; fi
if command -v mkfs.btrfs >/dev/null; then run btrfs $((32 << 20)) split_tool -f --mixed || failed=1; fi

echo "control: a split that does not sync must be caught"
if run ext4 $((16 << 20)) split_unsynced -E lazy_itable_init=0,lazy_journal_init=0; then
  echo "the control was not caught: the harness would miss a missing sync"
  failed=1
fi
exit $failed
