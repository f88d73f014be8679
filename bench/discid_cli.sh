#!/usr/bin/env bash
# Wall time of `sonolabel-cli discid` on the simulated drive (process start,
# layer load, drive scan, TOC read, output), median of N runs.
# Usage: bench/discid_cli.sh [BUILD_DIR] [N]
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=$PWD/${1:-build}/bin
N=${2:-51}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export SONOLABEL_ASPI=sim SONOLABEL_SIM_DRIVES=$PWD/demo/drives.ini SONOLABEL_INI=$WORK/s.INI SONOLABEL_WINDIR=$WORK
for _ in $(seq "$N"); do
  t0=$(date +%s%N)
  "$BIN/sonolabel-cli" discid --drive 1 >/dev/null 2>&1
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000 ))
done | sort -n | awk '{a[NR]=$1} END {printf "sonolabel-cli discid: median %d us, min %d us, max %d us over %d runs\n", a[int((NR+1)/2)], a[1], a[NR], NR}'
