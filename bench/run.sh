#!/usr/bin/env bash
# Times kiv_parse_bin against cp, dd, head + tail and a byte-at-a-time stdio
# split, on random images of each size, and prints one markdown row per size.
#
#   bench/run.sh [--runs N] [--dir DIR] [SIZE ...]   sizes as 4K, 1M, 1G (default 4K 1M 64M 1G)
#   bench/run.sh --smoke                             one 64K image, one run: checks the script works
#
# DIR (default build/bench) must have room for about three times the largest
# image. Needs hyperfine and GNU time (Debian: hyperfine, time).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=5
dir=$root/build/bench
sizes=()
while (($#)); do
  case $1 in
    --smoke) runs=1 sizes=(64K) ;;
    --runs) runs=$2; shift ;;
    --dir) dir=$2; shift ;;
    *) sizes+=("$1") ;;
  esac
  shift
done
((${#sizes[@]})) || sizes=(4K 1M 64M 1G)

cmake --workflow --preset release >/dev/null
tool=$root/build/release/kiv_parse_bin
bytewise=$root/build/release/bench/bytewise_split
mkdir -p "$dir"
cd "$dir"

# Writes the 32-bit little-endian value $2 at byte $3 of file $1.
put_word() {
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($2 & 255)) $(($2 >> 8 & 255)) \
    $(($2 >> 16 & 255)) $(($2 >> 24 & 255)))" |
    dd of="$1" bs=1 seek="$3" conv=notrunc status=none
}

# Prints "median (min–max)" in ms for command $2 of the CSV file $1.
cell() { awk -F, -v n="$2" '$1 == n { printf "%.1f (%.1f–%.1f)", $4 * 1000, $7 * 1000, $8 * 1000 }' "$1"; }
median() { awk -F, -v n="$2" '$1 == n { print $4 }' "$1"; }

echo "| image | kiv_parse_bin ms | cp ms | cp + sync ms | dd bs=1M ms | head + tail ms | bytewise stdio ms | tool / cp | tool / (cp + sync) | bytewise / tool | tool peak RSS |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for size in "${sizes[@]}"; do
  bytes=$(numfmt --from=iec "$size")
  header=$((bytes / 2 < 0x1234 ? bytes / 2 : 0x1234))
  rm -f cached.img run.img h.bin b.bin copy
  head -c "$bytes" /dev/urandom >cached.img
  put_word cached.img "$header" 16
  put_word cached.img $((bytes / 2)) 32  # for the memory run: a header of half the image
  sync

  # Each run starts from a clean page cache state for its outputs; the tool
  # deletes its input, so the input is a fresh hard link to the cached image.
  split_prep='sh -c "ln -f cached.img run.img && rm -f h.bin b.bin && sync"'
  hyperfine -N --warmup 1 --runs "$runs" --style none --export-csv "$size.csv" \
    --prepare "$split_prep" -n kiv_parse_bin "$tool 16 run.img h.bin b.bin" \
    --prepare 'sh -c "rm -f copy && sync"' -n cp "cp cached.img copy" \
    --prepare 'sh -c "rm -f copy && sync"' -n cp-sync "sh -c 'cp cached.img copy && sync copy'" \
    --prepare 'sh -c "rm -f h.bin b.bin && sync"' -n dd \
    "sh -c 'dd if=cached.img of=h.bin bs=1M count=$header iflag=count_bytes status=none && dd if=cached.img of=b.bin bs=1M skip=$header iflag=skip_bytes status=none'" \
    --prepare 'sh -c "rm -f h.bin b.bin && sync"' -n head-tail \
    "sh -c 'head -c $header cached.img >h.bin && tail -c +$((header + 1)) cached.img >b.bin'" \
    --prepare "$split_prep" -n bytewise "$bytewise 16 run.img h.bin b.bin" >/dev/null

  ln -f cached.img run.img
  rss=$(/usr/bin/time -f %M "$tool" 32 run.img h.bin b.bin 2>&1 >/dev/null | tail -n 1)
  ratio() { awk -v a="$(median "$size.csv" "$1")" -v b="$(median "$size.csv" "$2")" 'BEGIN { printf "%.2f", a / b }'; }
  echo "| $size | $(cell "$size.csv" kiv_parse_bin) | $(cell "$size.csv" cp) | $(cell "$size.csv" cp-sync) |" \
    "$(cell "$size.csv" dd) | $(cell "$size.csv" head-tail) | $(cell "$size.csv" bytewise) |" \
    "$(ratio kiv_parse_bin cp) | $(ratio kiv_parse_bin cp-sync) |" \
    "$(ratio bytewise kiv_parse_bin) | $((rss / 1024)).$((rss % 1024 * 10 / 1024)) MiB |"
done
rm -f cached.img run.img h.bin b.bin copy
echo
echo "Medians of $runs runs, min–max in brackets. Peak RSS: GNU time, header of half the image. $(nproc) cores, $(uname -sr), $(date -u +%F)."
