#!/usr/bin/env bash
# tavrin-copy against cp: five alternating runs of each on the same data, medians and the ratio ours/peer.
#   bash bench/copy.sh [BUILD_DIR]    (run as root: the tmpfs cases mount their own file systems)
# Page caches are not dropped between runs (that needs a quiet machine we do not have), so every run after
# the first reads warm data, for both tools alike.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
TOOL=$BUILD/tavrin-copy
[ -x "$TOOL" ] || TOOL=$BUILD/tools/tavrin-copy
if [ ! -x "$TOOL" ]; then
  echo "tavrin-copy not built in $BUILD" >&2
  exit 1
fi
TOOL=$(realpath "$TOOL")
RUNS=${RUNS:-5}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-bench-copy.XXXXXX")
MOUNTS=()
cleanup() {
  for m in "${MOUNTS[@]}"; do umount "$m" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
# The engine's log goes here rather than into the user's configuration.
export XDG_CONFIG_HOME=$WORK/config
status=0

now() { date +%s.%N; }

# median of the numbers on standard input
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# bench NAME LIMIT SRC DST_PARENT PEER_COMMAND...: times "tavrin-copy SRC DST" and "PEER SRC DST" alternately
# into fresh target folders and prints the medians and the ratio, marking a ratio above LIMIT.
bench() {
  local name=$1 limit=$2 src=$3 parent=$4
  shift 4
  local ours=() peer=() i t0 t1 out
  for ((i = 0; i < RUNS; i++)); do
    rm -rf "$parent/ours" "$parent/peer"
    mkdir -p "$parent/ours" "$parent/peer"
    sync
    t0=$(now)
    # Run directly, like the peer: a command substitution would add a subshell and a pipe to our time.
    "$TOOL" "$src" "$parent/ours" >"$WORK/result.json" 2>/dev/null ||
      { echo "$name: tavrin-copy failed: $(cat "$WORK/result.json")" >&2; status=1; }
    t1=$(now)
    ours+=("$(echo "$t1 - $t0" | bc -l)")
    sync
    t0=$(now)
    "$@" "$src" "$parent/peer/" || { echo "$name: peer failed" >&2; status=1; }
    t1=$(now)
    peer+=("$(echo "$t1 - $t0" | bc -l)")
  done
  local mo mp ratio verdict
  mo=$(printf '%s\n' "${ours[@]}" | median)
  mp=$(printf '%s\n' "${peer[@]}" | median)
  ratio=$(echo "$mo / $mp" | bc -l)
  verdict=ok
  if (($(echo "$ratio > $limit" | bc -l))); then verdict="ABOVE $limit"; status=1; fi
  printf '%-34s ours %8.3f s  %-22s %8.3f s  ratio %.3f  (target <= %s) %s\n' "$name" "$mo" "$(basename "$1") ${*:2}" "$mp" "$ratio" "$limit" "$verdict"
}

mount_tmpfs() { # SIZE -> prints the mount point
  local point
  point=$(mktemp -d "$WORK/tmpfs.XXXXXX")
  if mount -t tmpfs -o "size=$1" tmpfs "$point"; then
    MOUNTS+=("$point")
    echo "$point"
  fi
}

# 1. 20,000 files of 4 KiB in 100 folders, one file system.
mkdir -p "$WORK/small/tree" "$WORK/small/out"
for d in $(seq 1 100); do
  mkdir "$WORK/small/tree/d$d"
  head -c $((200 * 4096)) /dev/urandom > "$WORK/small/blob"
  split -b 4096 -a 3 "$WORK/small/blob" "$WORK/small/tree/d$d/f"
done
rm -f "$WORK/small/blob"
bench "20000 x 4 KiB, same fs" 1.0 "$WORK/small/tree" "$WORK/small/out" cp -a
rm -rf "$WORK/small"

# 2. One file of 1 GiB, one file system.
mkdir -p "$WORK/big/out"
head -c $((1024 * 1024 * 1024)) /dev/urandom > "$WORK/big/one.bin"
bench "1 GiB file, same fs" 1.05 "$WORK/big/one.bin" "$WORK/big/out" cp -a
rm -rf "$WORK/big"

# 3. tmpfs to tmpfs, 2 GiB in 1 MiB files.
SRC_FS=$(mount_tmpfs 2200m)
DST_FS=$(mount_tmpfs 4500m)
if [ -n "$SRC_FS" ] && [ -n "$DST_FS" ]; then
  mkdir -p "$SRC_FS/files"
  head -c $((64 * 1024 * 1024)) /dev/urandom > "$WORK/seed"
  for i in $(seq 0 2047); do
    dd if="$WORK/seed" of="$SRC_FS/files/f$i" bs=1M count=1 skip=$((i % 64)) status=none
  done
  rm -f "$WORK/seed"
  bench "tmpfs -> tmpfs, 2 GiB in 1 MiB" 1.0 "$SRC_FS/files" "$DST_FS" cp -a
  umount "$DST_FS" "$SRC_FS"
else
  echo "tmpfs -> tmpfs: skipped, tmpfs cannot be mounted here"
fi

# 4. A 4 GiB sparse file with 1 MiB of data: time and the blocks the copy takes.
mkdir -p "$WORK/sparse/out"
truncate -s 4G "$WORK/sparse/holes.bin"
for off in 0 1024 2048 3072; do
  dd if=/dev/urandom of="$WORK/sparse/holes.bin" bs=256K count=1 seek=$((off * 4)) conv=notrunc status=none
done
bench "4 GiB sparse, 1 MiB data" 1.2 "$WORK/sparse/holes.bin" "$WORK/sparse/out" cp -a --sparse=always
src_blocks=$(stat -c %b "$WORK/sparse/holes.bin")
our_blocks=$(stat -c %b "$WORK/sparse/out/ours/holes.bin")
peer_blocks=$(stat -c %b "$WORK/sparse/out/peer/holes.bin")
blocks_ratio=$(echo "$our_blocks / $src_blocks" | bc -l)
verdict=ok
if (($(echo "$blocks_ratio > 1.1" | bc -l))); then verdict="ABOVE 1.1"; status=1; fi
printf '%-34s source %d, ours %d, cp %d blocks of 512 B; ours/source %.3f (target <= 1.1) %s\n' \
  "4 GiB sparse: allocated blocks" "$src_blocks" "$our_blocks" "$peer_blocks" "$blocks_ratio" "$verdict"
exit $status
