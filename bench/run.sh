#!/usr/bin/env bash
# Times kiv_parse_bin against the durable floor: a split that must be on disk
# before the image goes can't beat the larger of copying the bytes (cp) and the
# disk writing them back (sync of a copy cp left dirty). Prints markdown tables.
#
#   bench/run.sh [--runs N] [--dir DIR] [SIZE ...]  the floor table; sizes as 4K, 1M, 1G
#                                                   (default 4K 1M 64M 1G); N rounds (default
#                                                   9, and 15 from 1G up); from 1G up also with
#                                                   the page cache cold (root) and on tmpfs
#   bench/run.sh --baselines [--runs N] [SIZE ...]  the tool against dd, head + tail and a
#                                                   byte-at-a-time stdio split
#   bench/run.sh --cow [--runs N]                   1 GiB splits on XFS with reflink and on btrfs,
#                                                   loop-mounted (root; skipped otherwise)
#   bench/run.sh --merge [--ab OLD] [--runs N] [SIZE]  merge of two files of SIZE each (default
#                                                   512M), the second landing on and off a block
#                                                   boundary; with --ab, OLD's merge beside it
#   bench/run.sh --sparse [--runs N] [SIZE]         a SIZE image (default 1G) holding 1/64 of it as
#                                                   data, the rest holes, against cp --sparse=auto
#   bench/run.sh --ab OLD [--runs N] [SIZE ...]     the tool against OLD, another build of it,
#                                                   as root and as user 65534 (root; SIZE
#                                                   default 4K 1G), each shape side by side
#   bench/run.sh --smoke                            small sizes, one round of each table
#
# Commands are interleaved: each round runs each once, with its preparation
# (a fresh hard link to the cached image, outputs removed, sync) untimed, and
# begins with another command than the round before. The
# machine is measured as it comes: no kernel or VM setting is changed (where
# runs swing, more rounds and the range tell it).
# DIR (default build/bench) needs about three times the largest image, and
# /dev/shm as much again for the tmpfs row.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=
old=
dir=$root/build/bench
sizes=()
mode=floor
while (($#)); do
  case $1 in
    --smoke) mode=smoke runs=1 sizes=(64K) ;;
    --baselines) mode=baselines ;;
    --cow) mode=cow ;;
    --merge) mode=merge ;;
    --sparse) mode=sparse ;;
    --ab) old=$2 && shift && { [ "$mode" != floor ] || mode=ab; } ;;
    --runs) runs=$2; shift ;;
    --dir) dir=$2; shift ;;
    *) sizes+=("$1") ;;
  esac
  shift
done
case $mode in
  merge) ((${#sizes[@]})) || sizes=(512M) ;;
  sparse) ((${#sizes[@]})) || sizes=(1G) ;;
  ab) ((${#sizes[@]})) || sizes=(4K 1G) ;;
  *) ((${#sizes[@]})) || sizes=(4K 1M 64M 1G) ;;
esac

cmake --workflow --preset release >/dev/null
tool=$root/build/release/kiv_parse_bin
bytewise=$root/build/release/bench/bytewise_split
merger=$root/build/release/bench/merge_files
mkdir -p "$dir"
cd "$dir"

# Writes the 32-bit little-endian value $2 at byte $3 of file $1.
put_word() {
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($2 & 255)) $(($2 >> 8 & 255)) \
    $(($2 >> 16 & 255)) $(($2 >> 24 & 255)))" |
    dd of="$1" bs=1 seek="$3" conv=notrunc status=none
}

# A random image of $1 bytes recording three header sizes: 0x1000 at byte 16 (the body
# starts on a block boundary), 0x1234 at 32 (it does not), half the image at 48.
make_image() {
  local bytes=$1
  head -c "$bytes" /dev/urandom >cached.img
  put_word cached.img $((bytes / 2 < 0x1000 ? bytes / 2 : 0x1000)) 16
  put_word cached.img $((bytes / 2 < 0x1234 ? bytes / 2 : 0x1234)) 32
  put_word cached.img $((bytes / 2)) 48
  sync
}

# time_into FILE CMD...: appends CMD's wall time in ms to FILE.
time_into() {
  local file=$1 start end
  shift
  start=$EPOCHREALTIME
  "$@" >/dev/null
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", (e - s) * 1000 }' >>"$file"
}
fresh_split() { ln -f cached.img run.img && rm -f h.bin b.bin && sync; }
fresh_copy() { rm -f copy && sync; }
dirty_copy() { fresh_copy && cp cached.img copy; }
cp_sync() { cp cached.img copy && sync copy; }

# Prints "median (min–max)" of the times in file $1; median alone with $2 = m.
stat_of() {
  sort -n "$1" | awk -v only="${2:-}" '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    if (only == "m") printf "%.3f", m; else printf "%.1f (%.1f–%.1f)", m, v[1], v[NR] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
peak_rss() {
  ln -f cached.img run.img
  local kib
  kib=$(/usr/bin/time -f %M "$tool" 48 run.img h.bin b.bin 2>&1 >/dev/null | tail -n 1)
  echo "$((kib / 1024)).$((kib % 1024 * 10 / 1024)) MiB"
}

# Rounds for an image of $1 bytes: --runs, or 15 from 1 GiB up and 9 below.
rounds_for() { echo "${runs:-$(($1 >= 1 << 30 ? 15 : 9))}"; }

# Empties the page cache, so the next command reads the image from the disk.
drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches; }

# The floor for footing $1 from the cp, cp-sync and writeback times here.
floor_of() {
  case $1 in
    warm) awk -v a="$(stat_of cp.ms m)" -v b="$(stat_of writeback.ms m)" 'BEGIN { print (a > b ? a : b) }' ;;
    cold) stat_of cp-sync.ms m ;;
    tmpfs) stat_of cp.ms m ;;
  esac
}

# One floor command ($1: cp, cp-sync or writeback), its preparation untimed.
time_floor() {
  case $1 in
    cp) fresh_copy && $prep && time_into cp.ms cp cached.img copy ;;
    cp-sync) fresh_copy && $prep && time_into cp-sync.ms cp_sync ;;
    writeback) dirty_copy && time_into writeback.ms sync copy ;;
  esac
}

# One row of the floor table: an image of $1 bytes (named $2) where the
# current folder is, footing $3: "warm" (the image in the page cache), "cold"
# (read from the disk: caches dropped before each command) or "tmpfs" (sync
# is free there, so copying is the floor).
floor_row() {
  local bytes=$1 size=$2 footing=$3 rounds prep=true floor
  rounds=$(rounds_for "$bytes")
  [ "$footing" = cold ] && prep=drop_caches
  rm -f ./*.ms
  local commands=(16:aligned 32:unaligned 48:half cp cp-sync writeback)
  for ((r = 0; r < rounds; r++)); do
    # Each round begins with the next command, so none always follows the same one.
    for ((k = 0; k < ${#commands[@]}; k++)); do
      local c=${commands[$(((r + k) % ${#commands[@]}))]}
      case $c in
        cp | cp-sync | writeback) time_floor "$c" ;;
        *) fresh_split && $prep && time_into "${c#*:}.ms" "$tool" "${c%%:*}" run.img h.bin b.bin ;;
      esac
    done
  done
  floor=$(floor_of "$footing")
  echo "| $size | $footing | $(stat_of aligned.ms) | $(stat_of unaligned.ms) | $(stat_of half.ms) |" \
    "$(stat_of cp.ms) | $(stat_of cp-sync.ms) | $(stat_of writeback.ms) | $(printf %.1f "$floor") |" \
    "$(ratio "$(stat_of aligned.ms m)" "$floor") | $(ratio "$(stat_of unaligned.ms m)" "$floor") |" \
    "$(ratio "$(stat_of half.ms m)" "$floor") | $rounds | $(peak_rss) |"
}

floor_table() {
  local shm=/dev/shm/kiv_parse_bin-bench
  echo "| image | footing | tool, body aligned ms | body unaligned ms | header half the image ms | cp ms | cp + sync ms | writeback ms | floor ms | aligned / floor | unaligned / floor | half / floor | rounds | peak RSS |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  for size in "${sizes[@]}"; do
    local bytes
    bytes=$(numfmt --from=iec "$size")
    make_image "$bytes"
    floor_row "$bytes" "$size" warm
    ((bytes >= 1 << 30)) || continue
    if [ -w /proc/sys/vm/drop_caches ]; then
      floor_row "$bytes" "$size" cold
    else
      echo "| $size | cold | skipped: emptying the page cache needs root | | | | | | | | | | | |"
    fi
    if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] &&
      (($(df -B1 --output=avail /dev/shm | tail -n 1) > 3 * bytes)); then
      mkdir -p "$shm" && cp cached.img "$shm/"
      (cd "$shm" && floor_row "$bytes" "$size" tmpfs)
      rm -rf "$shm"
    else
      echo "| $size | tmpfs | skipped: /dev/shm is no tmpfs with $((3 * bytes >> 20)) MiB free | | | | | | | | | | | |"
    fi
  done
  echo
  echo "Medians of interleaved rounds, min–max in brackets. Headers 0x1000 bytes (the body starts"
  echo "on a block boundary), 0x1234 bytes (it does not) and half the image; peak RSS for the half."
  echo "Floor: warm, the larger median of cp and writeback; cold, cp + sync from a cold cache; tmpfs, cp."
  echo "$(nproc) cores, $(uname -sr), $(date -u +%F); the machine's settings as they came."
}

baselines_table() {
  local runs=${runs:-5}
  echo "| image | kiv_parse_bin ms | dd bs=1M ms | head + tail ms | bytewise stdio ms | bytewise / tool |"
  echo "|---|---|---|---|---|---|"
  for size in "${sizes[@]}"; do
    local bytes header
    bytes=$(numfmt --from=iec "$size")
    header=$((bytes / 2 < 0x1234 ? bytes / 2 : 0x1234))
    make_image "$bytes"
    rm -f ./*.ms
    for ((r = 0; r < runs; r++)); do
      fresh_split && time_into tool.ms "$tool" 32 run.img h.bin b.bin
      fresh_split && time_into dd.ms sh -c "dd if=cached.img of=h.bin bs=1M count=$header iflag=count_bytes status=none && dd if=cached.img of=b.bin bs=1M skip=$header iflag=skip_bytes status=none"
      fresh_split && time_into head-tail.ms sh -c "head -c $header cached.img >h.bin && tail -c +$((header + 1)) cached.img >b.bin"
      fresh_split && time_into bytewise.ms "$bytewise" 32 run.img h.bin b.bin
    done
    echo "| $size | $(stat_of tool.ms) | $(stat_of dd.ms) | $(stat_of head-tail.ms) | $(stat_of bytewise.ms) |" \
      "$(ratio "$(stat_of bytewise.ms m)" "$(stat_of tool.ms m)") |"
  done
  echo
  echo "Medians of $runs interleaved rounds, min–max in brackets; header 0x1234 bytes. Only the tool syncs."
}

# Prints the bytes used on this file system once freeing has settled (XFS frees
# the blocks of a removed file in the background).
settled_used() {
  local now last=-1
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    sync
    now=$(df -B1 --output=used . | tail -n 1)
    [ "$now" = "$last" ] && break
    last=$now
    sleep 0.5
  done
  echo "$now"
}

# One file system on a loop-mounted sparse file of 3 GiB: a 1 GiB split, aligned and
# unaligned, with the space its outputs took (the image stays as a second link).
cow_rows() {
  local fs=$1 mkfs_options=$2
  command -v "mkfs.$fs" >/dev/null || { echo "| $fs | skipped: no mkfs.$fs | | | |"; return; }
  rm -f "$fs.disk" && truncate -s 3G "$fs.disk"
  "mkfs.$fs" -q $mkfs_options "$fs.disk" >/dev/null
  mkdir -p "$fs.mnt" && mount -o loop "$fs.disk" "$fs.mnt"
  (
    cd "$fs.mnt"
    head -c 1G "$dir/cached.img" >cached.img
    sync
    for header in 16:aligned 32:unaligned; do
      rm -f ./*.ms
      local used=0 with without
      for ((r = 0; r < runs; r++)); do
        fresh_split
        time_into split.ms "$tool" "${header%%:*}" run.img h.bin b.bin
        with=$(settled_used)
        rm -f h.bin b.bin
        without=$(settled_used)
        used=$((with - without))
      done
      echo "| $fs | ${header#*:} | $(stat_of split.ms) | $((used / 1048576)) MiB |"
    done
  )
  umount "$fs.mnt"
  rm -f "$fs.disk"
}

cow_table() {
  local runs=${runs:-5}
  echo "| file system | body | split of 1 GiB ms | new space for the outputs |"
  echo "|---|---|---|---|"
  if [ "$(id -u)" != 0 ]; then
    echo "| all | skipped: loop mounts need root | | |"
    return
  fi
  make_image $((1 << 30))
  cow_rows xfs "-m reflink=1"
  cow_rows btrfs ""
  echo
  echo "Medians of $runs rounds. A reflink shares the image's blocks with the body instead of copying them."
}

# Bytes file $1 takes on its file system.
allocated() { echo $(($(stat -c '%b * %B' "$1"))); }

# The merge of two files of $1 bytes each, the second landing on a block
# boundary ("on") or 0x234 bytes past one ("off"), against cat of both and the
# writeback of what cat wrote.
merge_table() {
  local bytes rounds
  bytes=$(numfmt --from=iec "${sizes[0]}")
  rounds=${runs:-15}
  local old_merger=${old:+$(dirname "$old")/bench/merge_files}
  echo "| files | second file lands | merge ms | cat of both ms | writeback ms | floor ms | merge / floor |" \
    "${old:+before ms | merge / before |} rounds |"
  echo "|---|---|---|---|---|---|---|${old:+---|---|}---|"
  head -c "$bytes" /dev/urandom >two.cached
  for landing in on off; do
    local extra=0
    [ "$landing" = off ] && extra=$((0x234))
    head -c $((bytes + extra)) /dev/urandom >one.cached
    rm -f ./*.ms
    for ((r = 0; r < rounds; r++)); do
      ln -f one.cached one && ln -f two.cached two && rm -f out && sync
      time_into merge.ms "$merger" one two out
      if [ -n "$old" ]; then
        ln -f one.cached one && ln -f two.cached two && rm -f out && sync
        time_into before.ms "$old_merger" one two out
      fi
      rm -f out && sync && time_into cat.ms sh -c 'cat one.cached two.cached >out'
      rm -f out && sync && cat one.cached two.cached >out && time_into writeback.ms sync out
    done
    local floor
    floor=$(awk -v a="$(stat_of cat.ms m)" -v b="$(stat_of writeback.ms m)" 'BEGIN { print (a > b ? a : b) }')
    echo "| 2 × ${sizes[0]} | $landing a block boundary | $(stat_of merge.ms) | $(stat_of cat.ms) |" \
      "$(stat_of writeback.ms) | $(printf %.1f "$floor") | $(ratio "$(stat_of merge.ms m)" "$floor") |" \
      "${old:+$(stat_of before.ms) | $(ratio "$(stat_of merge.ms m)" "$(stat_of before.ms m)") |} $rounds |"
  done
  rm -f one.cached two.cached one two out
  echo
  echo "Medians of interleaved rounds, min–max in brackets. Floor: the larger of cat and writeback."
}

# A sparse image: $1 bytes (default 1G), 1/64 of it data in four stretches,
# the rest holes; the split against cp --sparse=auto followed by sync.
sparse_table() {
  local bytes rounds data
  bytes=$(numfmt --from=iec "${sizes[0]}")
  rounds=${runs:-9}
  data=$((bytes / 256))
  rm -f cached.img && truncate -s "$bytes" cached.img
  for at in 0 $((bytes / 4)) $((bytes / 2)) $((bytes - data)); do
    head -c $data /dev/urandom | dd of=cached.img bs=1M seek=$at oflag=seek_bytes conv=notrunc status=none
  done
  put_word cached.img $((0x1234)) 16
  sync
  rm -f ./*.ms
  local header body
  for ((r = 0; r < rounds; r++)); do
    fresh_split && time_into tool.ms "$tool" 16 run.img h.bin b.bin
    header=$(allocated h.bin) body=$(allocated b.bin)
    fresh_copy && time_into cp-sync.ms sh -c 'cp --sparse=auto cached.img copy && sync copy'
  done
  echo "| image | data | split ms | cp --sparse=auto + sync ms | split / cp | header takes | body takes | image takes | rounds |"
  echo "|---|---|---|---|---|---|---|---|---|"
  echo "| ${sizes[0]} | $((4 * data >> 20)) MiB | $(stat_of tool.ms) | $(stat_of cp-sync.ms) |" \
    "$(ratio "$(stat_of tool.ms m)" "$(stat_of cp-sync.ms m)") | $((header >> 10)) KiB |" \
    "$((body >> 20)) MiB | $(($(allocated cached.img) >> 20)) MiB | $rounds |"
  echo
  echo "Medians of interleaved rounds, min–max in brackets; header 0x1234 bytes."
}

# Rows of the A/B table for an image of $1 bytes (named $2) here, footing $3
# (as floor_row's): each shape by OLD and by the tool, as root and as user
# 65534, and the floor's commands, all interleaved.
ab_rows() {
  local bytes=$1 size=$2 footing=$3 rounds prep=true commands=(cp cp-sync writeback) floor
  rounds=$(rounds_for "$bytes")
  [ "$footing" = cold ] && prep=drop_caches
  for offset in 16 32 48; do
    for who in 0 65534; do commands+=("$offset:$who:old" "$offset:$who:new"); done
  done
  rm -f ./*.ms
  for ((r = 0; r < rounds; r++)); do
    for ((k = 0; k < ${#commands[@]}; k++)); do
      local c=${commands[$(((r + k) % ${#commands[@]}))]} offset who which exe=$tool
      case $c in
        cp | cp-sync | writeback) time_floor "$c" ;;
        *)
          IFS=: read -r offset who which <<<"$c"
          [ "$which" = old ] && exe=$old
          fresh_split && $prep && time_into "$c.ms" setpriv --reuid="$who" --regid="$who" \
            --clear-groups "$exe" "$offset" run.img h.bin b.bin
          ;;
      esac
    done
  done
  floor=$(floor_of "$footing")
  for offset in 16 32 48; do
    local shape=aligned
    [ $offset = 32 ] && shape=unaligned
    [ $offset = 48 ] && shape=half
    echo "| $size | $footing | $shape | $(stat_of "$offset:0:old.ms") | $(stat_of "$offset:0:new.ms") |" \
      "$(ratio "$(stat_of "$offset:0:new.ms" m)" "$(stat_of "$offset:0:old.ms" m)") |" \
      "$(stat_of "$offset:65534:old.ms") | $(stat_of "$offset:65534:new.ms") |" \
      "$(ratio "$(stat_of "$offset:65534:new.ms" m)" "$(stat_of "$offset:65534:old.ms" m)") |" \
      "$(ratio "$(stat_of "$offset:65534:new.ms" m)" "$(stat_of "$offset:0:new.ms" m)") |" \
      "$(printf %.1f "$floor") | $(ratio "$(stat_of "$offset:0:new.ms" m)" "$floor") |" \
      "$(ratio "$(stat_of "$offset:65534:new.ms" m)" "$floor") | $rounds |"
  done
}

# The tool against another build of it (OLD), as root and as an ordinary user;
# from 1 GiB up also with the page cache cold and on tmpfs.
ab_table() {
  [ "$(id -u)" = 0 ] || { echo "skipped: running as another user needs root"; return; }
  local shared=$dir/ab shm=/dev/shm/kiv_parse_bin-ab
  mkdir -p "$shared" && chmod 0777 "$shared" && cd "$shared"
  echo "| image | footing | header | before, root ms | after, root ms | after / before | before, user ms | after, user ms | after / before | after, user / root | floor ms | after, root / floor | after, user / floor | rounds |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  for size in "${sizes[@]}"; do
    local bytes
    bytes=$(numfmt --from=iec "$size")
    make_image "$bytes" && chmod 0666 cached.img
    ab_rows "$bytes" "$size" warm
    ((bytes >= 1 << 30)) || continue
    ab_rows "$bytes" "$size" cold
    if (($(df -B1 --output=avail /dev/shm | tail -n 1) > 4 * bytes)); then
      mkdir -p "$shm" && chmod 0777 "$shm" && cp cached.img "$shm/" && chmod 0666 "$shm/cached.img"
      (cd "$shm" && ab_rows "$bytes" "$size" tmpfs)
      rm -rf "$shm"
    fi
  done
  echo
  echo "Medians of interleaved rounds, min–max in brackets; before: $old. Floor as in the floor table."
}

case $mode in
  ab) ab_table ;;
  floor) floor_table ;;
  baselines) baselines_table ;;
  cow) cow_table ;;
  merge) merge_table ;;
  sparse) sparse_table ;;
  smoke)
    floor_table && echo && baselines_table && echo
    sizes=(1M) && merge_table && echo
    sizes=(64M) && sparse_table
    ;;
esac
rm -f cached.img run.img h.bin b.bin copy ./*.ms
