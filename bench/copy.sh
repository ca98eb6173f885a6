#!/usr/bin/env bash
# tavrin-copy against cp, measured so that neither side pays for the other's work:
#   bash bench/copy.sh [BUILD_DIR]      (as root: it makes its own ext4 image and tmpfs mounts)
# - the disk cases run on a fresh ext4 image, loop-mounted with nodiscard, so that deleting nothing and
#   writing much does not trim the host's disk in the middle of a run;
# - every run copies into a new target folder, nothing is deleted between runs, and an untimed `sync`
#   after every run leaves the next one a clean page cache;
# - the tools alternate A B C C B A, so a slow drift of the machine shows in both;
# - a warm case (sources in the page cache) and a cold one (caches dropped before every run);
# - wall seconds and CPU seconds (user + system of the process and its children); medians; ratios ours/peer.
# Targets are ratios of medians against `cp -a`; `cp -r --preserve=mode,timestamps` keeps what the engine
# keeps and is shown beside it.
# A last case moves the small-file tree to another file system against `mv` (no target: it shows what
# flushing the target before removing sources costs).
# Beside the peers runs copy-floor (bench/copy_floor.cpp), the least work one thread can do to copy with
# modes and times: its row gives ours/floor, and how far the floor itself is below cp -a, which is as far
# as one stream can go.
#   RUNS=N   runs of each tool per case (default 6, rounded up to even); the one-file sparse case, a few
#            milliseconds a run, makes five times as many
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
FLOOR=$BUILD/bench/copy-floor
[ -x "$FLOOR" ] && FLOOR=$(realpath "$FLOOR") || FLOOR=""
if [ "$(id -u)" != 0 ]; then
  echo "copy.sh needs root for its loop-mounted ext4 image and tmpfs mounts" >&2
  exit 1
fi
RUNS=${RUNS:-6}
RUNS=$(((RUNS + 1) / 2 * 2))
WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/tavrin-bench-copy.XXXXXX")
MOUNTS=()
RUN_SEQ=0
LOOPIMG=$WORK/ext4.img
cleanup() {
  local m
  for ((m = ${#MOUNTS[@]} - 1; m >= 0; m--)); do umount "${MOUNTS[m]}" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
# The engine's log goes here rather than into the user's configuration.
export XDG_CONFIG_HOME=$WORK/config
export LC_ALL=C

# median of the numbers on standard input
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# CPU seconds (user + system) of all finished children of this shell, from the `times` builtin. It must
# run in this shell (a command substitution would report the subshell's children), hence the file.
child_cpu() {
  times >"$WORK/times.now"
  tail -1 "$WORK/times.now" | awk '{ s = 0; for (i = 1; i <= 2; i++) { split($i, a, "m"); sub("s", "", a[2]); s += a[1] * 60 + a[2] }; printf "%.3f\n", s }'
}

drop_caches() { sync; echo 3 > /proc/sys/vm/drop_caches; }

# run_one TOOLNAME SRC TARGET COLD -> appends "wall cpu" to $WORK/times.TOOLNAME
run_one() {
  local tool=$1 src=$2 target=$3 cold=$4 t0 t1 c0 c1 rc=0
  mkdir -p "$target"
  [ "$cold" = cold ] && drop_caches
  child_cpu >"$WORK/cpu0"
  t0=$EPOCHREALTIME
  case $tool in
  # The outcome line goes nowhere, as cp prints none: written to a file it cost ours a flush of its own
  # (ext4 flushes a file truncated and rewritten when it is closed), a tenth of a one-file copy.
  ours) "$TOOL" "$src" "$target" >/dev/null 2>"$WORK/stderr" || rc=$? ;;
  cp-a) cp -a "$src" "$target/" || rc=$? ;;
  cp-r) cp -r --preserve=mode,timestamps "$src" "$target/" || rc=$? ;;
  cp-sparse) cp -a --sparse=always "$src" "$target/" || rc=$? ;;
  floor) "$FLOOR" "$src" "$target" 2>"$WORK/stderr" || rc=$? ;;
  ours-move) "$TOOL" --move "$src" "$target" >/dev/null 2>"$WORK/stderr" || rc=$? ;;
  mv) mv "$src" "$target/" || rc=$? ;;
  esac
  t1=$EPOCHREALTIME
  child_cpu >"$WORK/cpu1"
  c0=$(cat "$WORK/cpu0")
  c1=$(cat "$WORK/cpu1")
  if [ "$rc" != 0 ]; then
    echo "  $tool failed ($rc) copying $src: $(head -c 400 "$WORK/stderr" 2>/dev/null)" >&2
    FAILED=1
  fi
  sync
  echo "$(echo "$t1 - $t0" | bc -l) $(echo "$c1 - $c0" | bc -l)" >>"$WORK/times.$tool"
}

# verify SRC TARGET: the copy holds the same bytes and names as the source
verify() {
  if ! diff -r -q "$1" "$2/$(basename "$1")" >/dev/null 2>&1; then
    echo "  copy in $2 differs from its source" >&2
    FAILED=1
  fi
}

printf '%-36s %-10s %9s %9s %7s %7s %9s %9s %7s %s\n' case peer "ours s" "peer s" ratio paired "ours cpu" \
  "peer cpu" "cpu" target
# paired OURS PEER: the median of the ratios of the i-th runs of the two tools. This machine's speed swings
# by factors between stretches of seconds; runs that follow each other share a stretch, while the medians
# of the two tools may come from different ones.
paired() {
  paste "$WORK/times.$1" "$WORK/times.$2" | awk '{print $1 / $3}' | median
}

# row NAME LIMIT PEER...: one table row per peer from the recorded times; the target is judged against the
# first peer only, on the ratio of the medians.
row() {
  local name=$1 limit=$2 ow oc pw pc ratio verdict first=1 t
  shift 2
  local ours=${OURS:-ours}
  ow=$(awk '{print $1}' "$WORK/times.$ours" | median)
  oc=$(awk '{print $2}' "$WORK/times.$ours" | median)
  for t in "$@"; do
    pw=$(awk '{print $1}' "$WORK/times.$t" | median)
    pc=$(awk '{print $2}' "$WORK/times.$t" | median)
    ratio=$(echo "$ow / $pw" | bc -l)
    verdict=""
    if [ "$t" = floor ]; then
      # How far below cp -a (the first peer) the floor itself is.
      verdict=$(printf 'floor/%s %.3f' "$1" "$(echo "$pw / $(awk '{print $1}' "$WORK/times.$1" | median)" | bc -l)")
    elif [ $first = 1 ] && [ "$limit" = - ]; then
      verdict="(no target)"
    elif [ $first = 1 ]; then
      if (($(echo "$ratio <= $limit" | bc -l))); then verdict="<= $limit met"; else verdict="<= $limit NOT MET"; fi
      [ "$FAILED" = 1 ] && verdict="$verdict (a run failed)"
    fi
    printf '%-36s %-10s %9.3f %9.3f %7.3f %7.3f %9.3f %9.3f %7.2f %s\n' "$name" "$t" "$ow" "$pw" "$ratio" \
      "$(paired "$ours" "$t")" "$oc" "$pc" "$(echo "$oc / ($pc + 0.0005)" | bc -l)" "$verdict"
    first=0
  done
}

# bench NAME LIMIT MODE SRC TARGET_PARENT PEER... : alternating runs, then the table rows.
# MODE is warm, cold, or tmpfs (warm, and every run's target is a fresh tmpfs mounted at TARGET_PARENT
# outside the timed part: memory cannot hold a new target folder per run).
bench() {
  local name=$1 limit=$2 mode=$3 src=$4 parent=$5 runs=${RUNS_CASE:-$RUNS}
  shift 5
  local peers=("$@") k i t order n=0 target
  [ -n "$FLOOR" ] || peers=("${peers[@]/floor/}")
  local tools=(ours ${peers[@]})
  rm -f "$WORK"/times.*
  FAILED=0
  for ((k = 0; k < runs / 2; k++)); do
    order=("${tools[@]}")
    for ((i = ${#tools[@]} - 1; i >= 0; i--)); do order+=("${tools[i]}"); done
    for t in "${order[@]}"; do
      n=$((n + 1))
      RUN_SEQ=$((RUN_SEQ + 1))
      target=$parent/run$RUN_SEQ.$t
      if [ "$mode" = tmpfs ]; then
        mkdir -p "$parent"
        mount -t tmpfs -o size=2300m tmpfs "$parent" || { echo "tmpfs target cannot be mounted" >&2; return; }
      fi
      run_one "$t" "$src" "$target" "${mode/tmpfs/warm}"
      [ $n = 1 ] && verify "$src" "$target"
      [ "$mode" = tmpfs ] && umount "$parent"
    done
  done
  row "$name" "$limit" ${peers[@]}
}

# The disk: a fresh ext4 image without discard, big enough for every run of the disk cases.
truncate -s 60G "$LOOPIMG"
mkfs.ext4 -q -E nodiscard,lazy_itable_init=0,lazy_journal_init=0 "$LOOPIMG"
mkdir -p "$WORK/ext4"
if ! mount -o loop,nodiscard "$LOOPIMG" "$WORK/ext4"; then
  echo "cannot loop-mount an ext4 image here" >&2
  exit 1
fi
MOUNTS+=("$WORK/ext4")
DISK=$WORK/ext4

# 1. 20,000 files of 4 KiB in 100 folders, one file system, warm and cold.
mkdir -p "$DISK/small/tree"
for d in $(seq 1 100); do
  mkdir "$DISK/small/tree/d$d"
  head -c $((200 * 4096)) /dev/urandom >"$WORK/blob"
  split -b 4096 -a 3 "$WORK/blob" "$DISK/small/tree/d$d/f"
done
rm -f "$WORK/blob"
drop_caches
# Into the cache for the warm case; tar would not do it (it reads no data when it writes to /dev/null), and
# the tool that runs first would pay for reading the tree.
find "$DISK/small/tree" -type f -exec cat {} + >/dev/null
bench "20000 x 4 KiB, same ext4, warm" 0.8 warm "$DISK/small/tree" "$DISK/small" cp-a cp-r floor
bench "20000 x 4 KiB, same ext4, cold" 0.9 cold "$DISK/small/tree" "$DISK/small" cp-a cp-r floor

# 2. One file of 1 GiB, one file system.
mkdir -p "$DISK/big"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$DISK/big/one.bin"
sync
bench "1 GiB file, same ext4, warm" 1.0 warm "$DISK/big/one.bin" "$DISK/big" cp-a cp-r floor

# 3. A 4 GiB sparse file with 1 MiB of data, against cp's own sparse detection.
mkdir -p "$DISK/sparse"
truncate -s 4G "$DISK/sparse/holes.bin"
for off in 0 1024 2048 3072; do
  dd if=/dev/urandom of="$DISK/sparse/holes.bin" bs=256K count=1 seek=$((off * 4)) conv=notrunc status=none
done
sync
RUNS_CASE=$((RUNS * 5)) bench "4 GiB sparse, 1 MiB data, warm" 1.0 warm "$DISK/sparse/holes.bin" "$DISK/sparse" cp-sparse
src_blocks=$(stat -c %b "$DISK/sparse/holes.bin")
our_blocks=$(stat -c %b "$DISK"/sparse/run*.ours/holes.bin | head -1)
peer_blocks=$(stat -c %b "$DISK"/sparse/run*.cp-sparse/holes.bin | head -1)
blocks_ratio=$(echo "$our_blocks / $src_blocks" | bc -l)
if (($(echo "$blocks_ratio <= 1.1" | bc -l))); then verdict="<= 1.1 met"; else verdict="<= 1.1 NOT MET"; fi
printf '%-36s source %d, ours %d, cp %d blocks of 512 B; ours/source %.3f %s\n' \
  "4 GiB sparse: allocated blocks" "$src_blocks" "$our_blocks" "$peer_blocks" "$blocks_ratio" "$verdict"

# 4. tmpfs to tmpfs, 2 GiB in 1 MiB files. Memory cannot hold a new 2 GiB target per run, so every run
# gets a fresh target tmpfs instead, mounted and unmounted outside the timed part.
SRC_FS=$WORK/tmpfs-src
mkdir -p "$SRC_FS"
if mount -t tmpfs -o size=2200m tmpfs "$SRC_FS"; then
  MOUNTS+=("$SRC_FS")
  mkdir -p "$SRC_FS/files"
  head -c $((64 * 1024 * 1024)) /dev/urandom >"$WORK/seed"
  for i in $(seq 0 2047); do
    dd if="$WORK/seed" of="$SRC_FS/files/f$i" bs=1M count=1 skip=$((i % 64)) status=none
  done
  rm -f "$WORK/seed"
  bench "tmpfs -> tmpfs, 2 GiB in 1 MiB" 0.9 tmpfs "$SRC_FS/files" "$WORK/tmpfs-dst" cp-a cp-r floor
else
  echo "tmpfs -> tmpfs: skipped, tmpfs cannot be mounted here"
fi

# 5. A move to another file system: the 20,000-file tree from a tmpfs onto the ext4 image, against `mv`.
# A move flushes the target before it removes sources (mv does not), so this shows what that costs.
# Every run moves a fresh copy of the tree, made on a fresh tmpfs outside the timed part.
bench_move() {
  local name=$1 k t n=0 target src_fs=$WORK/move-src
  rm -f "$WORK"/times.*
  FAILED=0
  mkdir -p "$src_fs" "$DISK/move"
  for ((k = 0; k < RUNS / 2; k++)); do
    for t in ours-move mv mv ours-move; do
      n=$((n + 1))
      RUN_SEQ=$((RUN_SEQ + 1))
      target=$DISK/move/run$RUN_SEQ.$t
      mount -t tmpfs -o size=400m tmpfs "$src_fs" || { echo "tmpfs source cannot be mounted" >&2; return; }
      cp -a "$DISK/small/tree" "$src_fs/"
      sync
      run_one "$t" "$src_fs/tree" "$target" warm
      [ $n -le 2 ] && verify "$DISK/small/tree" "$target"
      [ -e "$src_fs/tree" ] && { echo "  $t left its source behind" >&2; FAILED=1; }
      umount "$src_fs"
    done
  done
  OURS=ours-move row "$name" - mv
}
bench_move "20000 x 4 KiB, move tmpfs -> ext4"
