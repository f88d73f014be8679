#!/usr/bin/env bash
# What a large title database costs each process: wall time of
# `sonolabel-cli disc` (one disc's titles loaded) and of `sonolabel-cli
# lookup` (the titles of a 99-track disc received and saved) on a
# "cdplayer.ini" of 20,000 discs (about 8.6 MB) against a cdplayer.ini that
# holds that one disc only. Each run is a new process, as every window start
# and every command-line run is. Prints the medians of N runs of each and
# the differences; targets: load under +10 ms, save under +50 ms.
# Usage: bench/localdb_cli.sh [BUILD_DIR] [N]   (BUILD_DIR relative or absolute)
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-build} in /*) BIN=${1}/bin ;; *) BIN=$PWD/${1:-build}/bin ;; esac
N=${2:-41}
WORK=$(mktemp -d)
. bench/local_server.sh
if [ -n "${KEEP_WORK:-}" ]; then trap 'kill $SERVER 2>/dev/null || true' EXIT; echo "work: $WORK"; fi
CLI=$BIN/sonolabel-cli

# A disc of 99 tracks, 40 seconds each.
toc="0:02:00"
for t in $(seq 1 99); do s=$((2 + t * 40)); toc="$toc $((s / 60)):$((s % 60)):00"; done
printf '[0:0:0]\r\nvendor=SONOLAB\r\nproduct=BENCH 99TRK\r\ntoc=%s\r\n' "$toc" >"$WORK/drives.ini"
printf '[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n[svr0]\r\nhost=127.0.0.1:%s\r\npath=/~cddb/cddb.cgi?\r\ncharset=UTF-8\r\n' "$PORT" >"$WORK/s.INI"
export SONOLABEL_ASPI=sim SONOLABEL_SIM_DRIVES=$WORK/drives.ini SONOLABEL_INI=$WORK/s.INI
mkdir -p "$WORK/own" "$WORK/big"

# The server's entry for the disc.
read -r ID _ <<<"$(SONOLABEL_WINDIR=$WORK/own "$CLI" discid --drive 0)"
{
  printf '# xmcd\n#\n# Track frame offsets:\n'
  for t in $(seq 0 98); do printf '#\t%d\n' $((150 + t * 3000)); done
  printf '#\n# Disc length: %d seconds\n#\n# Revision: 0\n#\nDISCID=%s\nDTITLE=Bench Artist / Bench Title\nDYEAR=2001\nDGENRE=Bench\n' $((2 + 99 * 40)) "$ID"
  for t in $(seq 0 98); do printf 'TTITLE%d=Track number %d of the bench disc\n' "$t" $((t + 1)); done
  printf 'EXTD=\n'
  for t in $(seq 0 98); do printf 'EXTT%d=\n' "$t"; done
  printf 'PLAYORDER=\n'
} >"$WORK/root/misc/$ID"

# One lookup names the disc's section; its stale copy (other titles) goes
# into both databases, so that every timed save rewrites it in place.
SONOLABEL_WINDIR=$WORK/own "$CLI" lookup --drive 0 --server "$URL" --choose 1 >/dev/null 2>"$WORK/first.err" || { cat "$WORK/first.err" >&2; exit 1; }
SECTION=$(grep -a -m1 '^\[' "$WORK/own/cdplayer.ini" | tr -d '[]\r')
STALE=$(sed 's/Track number/Old track/; s/Bench/Old/g' "$WORK/own/cdplayer.ini")
printf '%s\r\n' "$STALE" | sed 's/\r\r$/\r/' >"$WORK/own.template"

# 20,000 other discs of 12 tracks and 6 other keys (half of them with
# Japanese titles in Shift-JIS), the bench disc in the middle.
JA_ARTIST=$(printf 'サザンオールスターズ' | iconv -f UTF-8 -t CP932)
JA_TITLE=$(printf '海のYeah!! ー ソー・ソング' | iconv -f UTF-8 -t CP932)
JA_TRACK=$(printf '曲名ー表示' | iconv -f UTF-8 -t CP932)
LC_ALL=C awk -v ja_artist="$JA_ARTIST" -v ja_title="$JA_TITLE" -v ja_track="$JA_TRACK" \
  -v own="$WORK/own.template" 'BEGIN {
  printf "; CD Player database\r\n"
  for (i = 0; i < 20000; i++) {
    if (i == 10000) { while ((getline line < own) > 0) printf "%s\n", line }
    ja = i % 2 == 0
    printf "[%X]\r\nEntryType=1\r\n", 16777216 + i * 7919
    printf "artist=%s%d\r\ntitle=%s\r\nnumtracks=12\r\ngenre=Example Genre Name\r\n", ja ? ja_artist : "The Example Band", i, ja ? ja_title : "Greatest Examples"
    for (n = 0; n < 12; n++) printf "%d=%s%d\r\n", n, ja ? ja_track : "Latin track title number", n + 1
    printf "order=0 1 2 3 4 5 6 7 8 9 10 11\r\n"
  }
}' >"$WORK/big.template"
echo "database: $(stat -c %s "$WORK/big.template") bytes, disc section [$SECTION]"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s%N; }
load_own=() load_big=() save_own=() save_big=()
cp "$WORK/own.template" "$WORK/own/cdplayer.ini"
cp "$WORK/big.template" "$WORK/big/cdplayer.ini"
for _ in $(seq "$N"); do
  for which in own big; do
    t0=$(now)
    SONOLABEL_WINDIR=$WORK/$which "$CLI" disc --drive 0 >/dev/null 2>&1
    t1=$(now)
    eval "load_$which+=($(( (t1 - t0) / 1000 )))"
  done
done
for _ in $(seq "$N"); do
  for which in own big; do
    cp "$WORK/$which.template" "$WORK/$which/cdplayer.ini"
    t0=$(now)
    SONOLABEL_WINDIR=$WORK/$which "$CLI" lookup --drive 0 --server "$URL" --choose 1 >/dev/null 2>&1
    t1=$(now)
    eval "save_$which+=($(( (t1 - t0) / 1000 )))"
  done
done
grep -aq 'Track number 99 of the bench disc' "$WORK/big/cdplayer.ini" || { echo "the save did not happen" >&2; exit 1; }
lo=$(printf '%s\n' "${load_own[@]}" | median); lb=$(printf '%s\n' "${load_big[@]}" | median)
so=$(printf '%s\n' "${save_own[@]}" | median); sb=$(printf '%s\n' "${save_big[@]}" | median)
echo "sonolabel-cli disc,   own file:      median ${lo} us over $N runs"
echo "sonolabel-cli disc,   20,000 discs:  median ${lb} us  (+$(( (lb - lo) / 1000 )).$(( (lb - lo) % 1000 / 100 )) ms)"
echo "sonolabel-cli lookup, own file:      median ${so} us over $N runs"
echo "sonolabel-cli lookup, 20,000 discs:  median ${sb} us  (+$(( (sb - so) / 1000 )).$(( (sb - so) % 1000 / 100 )) ms)"
