#!/usr/bin/env bash
# crash_test.sh TOOL FAULTED DISK_LOGGER REPLAY SHIM
#
# Splits a 2 MiB image on ext4 (with and without a journal), xfs, btrfs,
# exFAT and NTFS (the last two through FUSE; each where its tools exist), each made on a disk whose writes and flushes are logged,
# then replays every state a power cut could leave (replay). Nothing in or
# around the split syncs: the file system is only left a few seconds to commit
# on its own (1 s commit interval) before it is unmounted, as a running
# machine would. Each file system also splits with FAULTED, the tests' build
# of the tool, its fault table set so that its syncs answer success unsynced
# (the control): the replay must catch it there, or it proves nothing. A last run, on ext4 and judged for nothing else, loads SHIM
# to sync right after the image is moved aside, to show that the replay
# counts the image under that name as whole.
# KIV_CRASH_STEPS=1 also drops each of the tool's three syncs alone and prints
# what each file system then shows.
# Needs root, loop devices, FUSE and fusermount3; exits 77 (skipped) without them.
set -euo pipefail
tool=$1 faulted=$2 logger=$3 replay=$4 shim=$5
header_size=4660 seed=20261208

[ "$(id -u)" = 0 ] || { echo "skipped: needs root for loop devices and mounts"; exit 77; }
[ -c /dev/fuse ] && losetup -f >/dev/null 2>&1 || { echo "skipped: needs FUSE and loop devices"; exit 77; }
command -v fusermount3 >/dev/null || { echo "skipped: needs fusermount3 (Debian: fuse3)"; exit 77; }

work=$(mktemp -d)
# The machine's own writeback, quickened for the run and restored at the end:
# xfs's log every second (as commit=1 elsewhere); and, for ext4 without a
# journal, whose metadata the flusher writes like data, dirty pages written
# back after a second.
tunables=(/proc/sys/fs/xfs/xfssyncd_centisecs /proc/sys/vm/dirty_expire_centisecs
  /proc/sys/vm/dirty_writeback_centisecs)
modprobe xfs 2>/dev/null || true  # its tunable appears with the module
saved=()
for t in "${tunables[@]}"; do saved+=("$(cat "$t" 2>/dev/null || true)"); done
# quicken NAMES...: the named tunables to a second, the others as they were.
quicken() {
  for i in "${!tunables[@]}"; do
    local value=${saved[$i]}
    for name in "$@"; do [[ ${tunables[$i]} != *$name* ]] || value=100; done
    [ -z "$value" ] || echo "$value" >"${tunables[$i]}"
  done
}
cleanup() {
  umount "$work/mnt" 2>/dev/null || true
  [ -z "${dev:-}" ] || losetup -d "$dev" 2>/dev/null || true
  fusermount3 -u "$work/fuse" 2>/dev/null || true
  for i in "${!tunables[@]}"; do
    [ -z "${saved[$i]}" ] || echo "${saved[$i]}" >"${tunables[$i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/fuse" "$work/mnt"
head -c $((2 << 20)) /dev/urandom >"$work/image"
printf '\x34\x12\x00\x00' | dd of="$work/image" bs=1 seek=16 conv=notrunc status=none

split_tool() { "$tool" 16 a.img h.bin b.bin >/dev/null; }
# The syncs the control leaves out: all of them, or with KIV_DROP_SYNC one step's.
no_syncs() {
  case ${KIV_DROP_SYNC:-} in
    header) echo "fdatasync#1:skip" ;;  # the header is synced first, then the body
    body) echo "fdatasync#2:skip" ;;
    folders) echo "fsync:skip" ;;
    *) echo "fdatasync:skip,fsync:skip,sync_file_range:skip" ;;
  esac
}
split_nosync() { KIV_FAULTS=$(no_syncs) "$faulted" 16 a.img h.bin b.bin >/dev/null; }
split_aside() { LD_PRELOAD=$shim KIV_SHIM_SYNC_AFTER=1 "$tool" 16 a.img h.bin b.bin >/dev/null; }

# run FSTYPE SIZE SPLIT MKFS-OPTIONS...: one split on a logged disk, then its
# replay; prints the replay's count line and returns its verdict.
run() {
  local fstype=$1 size=$2 split=$3 options=loop
  shift 3
  truncate -s 0 "$work/store" && truncate -s "$size" "$work/store"
  "$logger" "$work/fuse" "$work/store" "$work/log" "$size" &
  local logger_pid=$!
  until [ -e "$work/fuse/disk" ]; do sleep 0.05; done
  dev=$(losetup -f --show "$work/fuse/disk")
  # Small requests, as a real disk may tear a large one: more states to cut at.
  echo 16 >"/sys/block/${dev#/dev/}/queue/max_sectors_kb" 2>/dev/null || true
  case $fstype in
    exfat) mkfs.exfat "$@" "$dev" >/dev/null ;;
    ntfs) mkntfs -q -F -f "$@" "$dev" >/dev/null 2>&1 ;;
    *) "mkfs.$fstype" -q "$@" "$dev" >/dev/null ;;
  esac
  # A one-second commit interval; and no flush at close for files emptied with
  # ftruncate (ext4's auto_da_alloc), a heuristic that would sync for the tool.
  case "$fstype $*" in
    *has_journal*) options=noauto_da_alloc ;;
    ext4*) options=commit=1,noauto_da_alloc ;;
    btrfs*) options=commit=1 ;;
    *) options=defaults ;;
  esac
  # Where the kernel's own dirty-page writeback is what writes metadata back
  # (ext4 without a journal, the FUSE file systems), it too within a second.
  case "$fstype $*" in
    *has_journal* | exfat* | ntfs*) quicken xfssyncd dirty_ ;;
    *) quicken xfssyncd ;;
  esac
  case $fstype in
    exfat) mount.exfat-fuse "$dev" "$work/mnt" ;;
    ntfs) ntfs-3g "$dev" "$work/mnt" ;;
    *) mount -o "$options" "$dev" "$work/mnt" ;;
  esac
  cp "$work/image" "$work/mnt/a.img"
  # Outputs there before the split, which must stay as they were or become
  # whole. The control makes new ones: btrfs syncs a file renamed over another
  # of its own accord, which would hide the control's missing syncs.
  rm -f "$work/old.h.bin" "$work/old.b.bin"
  if [ "$split" != split_nosync ]; then
    printf 'the old header\n' | tee "$work/old.h.bin" >"$work/mnt/h.bin"
    printf 'the old body\n' | tee "$work/old.b.bin" >"$work/mnt/b.bin"
  fi
  sync
  local mark
  mark=$(stat -c %s "$work/log")
  (cd "$work/mnt" && $split)
  sleep 3  # the file system's own commits, nothing the split asked for
  umount "$work/mnt"
  losetup -d "$dev" && dev=
  fusermount3 -u "$work/fuse"
  wait "$logger_pid"
  local status=0
  "$replay" "$work/log" "$mark" "$size" "$fstype" "$work/image" $header_size $seed "$work" \
    >"$work/replayed" || status=1
  # The verdict; for the tool's own runs, the first broken states too.
  if [ $status = 0 ] || [ "$split" = split_nosync ]; then tail -n 1 "$work/replayed"; else head -n 4 "$work/replayed"; tail -n 1 "$work/replayed"; fi
  return $status
}

# The file systems, each as: FSTYPE SIZE MKFS-OPTIONS...
systems=("ext4 $((16 << 20)) -E lazy_itable_init=0,lazy_journal_init=0"
  "ext4 $((16 << 20)) -O ^has_journal")
command -v mkfs.xfs >/dev/null && systems+=("xfs $((320 << 20)) -f")
command -v mkfs.btrfs >/dev/null && systems+=("btrfs $((32 << 20)) -f --mixed")
# The disks people unplug, through FUSE (this kernel may have no driver of its own).
if command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null; then
  systems+=("exfat $((16 << 20))")
else
  echo "== exfat skipped: needs mkfs.exfat and mount.exfat-fuse (Debian: exfatprogs, exfat-fuse)"
fi
if command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null && command -v ntfsfix >/dev/null; then
  systems+=("ntfs $((16 << 20))")
else
  echo "== ntfs skipped: needs mkntfs, ntfs-3g and ntfsfix (Debian: ntfs-3g)"
fi

failed=0
for system in "${systems[@]}"; do
  # shellcheck disable=SC2086 # the options are words
  set -- $system
  fs=$1 size=$2
  shift 2
  # KIV_CRASH_ONLY=ntfs (say) replays on that file system alone.
  [ -z "${KIV_CRASH_ONLY:-}" ] || [ "$fs" = "$KIV_CRASH_ONLY" ] || continue
  echo "== $fs $*: the tool"
  run "$fs" "$size" split_tool "$@" || { echo "   broken states: the tool lost data"; failed=1; }
  echo "== $fs $*: the control, the tool without its syncs (must be caught)"
  if run "$fs" "$size" split_nosync "$@"; then
    echo "   not caught: this replay would miss a tool that never syncs"
    failed=1
  fi
  if [ "${KIV_CRASH_STEPS:-}" = 1 ]; then
    for step in header body folders; do
      echo "== $fs $*: the tool without its $step sync"
      KIV_DROP_SYNC=$step run "$fs" "$size" split_nosync "$@" || true
    done
  fi
done

echo "== ext4: the image moved aside counts as whole (a sync added after the move; no verdict on syncs)"
run ext4 $((16 << 20)) split_aside -E lazy_itable_init=0,lazy_journal_init=0 || failed=1
grep -q 'moved aside in [1-9]' "$work/replayed" ||
  { echo "no state between moving the image aside and removing it was replayed"; failed=1; }
exit $failed
