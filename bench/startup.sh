#!/usr/bin/env bash
# Start-up benchmark of the window program: time from process start until the
# main window is on screen, and peak memory (VmHWM / maximum RSS).
#
#   bench/startup.sh [BUILD_DIR] [RUNS]      (defaults: build, 10)
#
# Runs itself under xvfb-run (1024x768) when no display is set. Each run
# starts `sonolabel` with SONOLABEL_STARTUP_PROBE=1: the program prints its
# own measurements when the window has first been exposed and ends at once.
# The wall time around the whole run is taken here as well. A last set of
# runs picks the first simulated drive and grabs the window, for the peak
# memory of a window that has read a disc. Medians are printed.
set -euo pipefail

BUILD=${1:-build}
RUNS=${2:-10}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
BIN="$BUILD/bin/sonolabel"

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BUILD" "$RUNS"
fi
[ -x "$BIN" ] || { echo "no program at $BIN (build the sonolabel target first)" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# A settings file that needs no first-start prompt.
printf '[tunedex]\r\nemail=bench@example.com\r\nselectserver=0\r\nservercount=1\r\nsubmitemail=submit@example.com\r\n[svr0]\r\nhost=127.0.0.1\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n' \
  > "$tmp/sonolabel.INI"
export SONOLABEL_INI="$tmp/sonolabel.INI" SONOLABEL_WINDIR="$tmp" SONOLABEL_ASPI=sim
export SONOLABEL_SIM_DRIVES="${SONOLABEL_SIM_DRIVES:-$ROOT/demo/drives.ini}"

median() { sort -n | awk '{a[NR]=$1} END {if (NR==0) {print "n/a"; exit} m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%.1f\n", m}'; }
field() { sed -n "s/.*$1=\([0-9.-]*\).*/\1/p"; }

SONOLABEL_STARTUP_PROBE=1 "$BIN" >/dev/null 2>&1 || true   # warm the caches

: > "$tmp/wall"; : > "$tmp/probe"; : > "$tmp/main"; : > "$tmp/hwm"
for _ in $(seq "$RUNS"); do
  t0=$(date +%s%N)
  out=$(SONOLABEL_STARTUP_PROBE=1 "$BIN" 2>/dev/null)
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000 )) | awk '{print $1/1000}' >> "$tmp/wall"
  echo "$out" | field startup_ms >> "$tmp/probe"
  echo "$out" | field main_ms >> "$tmp/main"
  echo "$out" | field vmhwm_kb >> "$tmp/hwm"
done

: > "$tmp/rss"
for _ in $(seq "$RUNS"); do
  SONOLABEL_PICK_DRIVE=0 SONOLABEL_SCREENSHOT="$tmp/shot.png" SONOLABEL_SCREENSHOT_DELAY=100 \
    /usr/bin/time -f 'maxrss_kb=%M' -o "$tmp/time.out" "$BIN" >/dev/null 2>&1 || true
  field maxrss_kb < "$tmp/time.out" >> "$tmp/rss"
done

echo "runs: $RUNS"
echo "wall time, launch to window shown (ms, median):   $(median < "$tmp/wall")"
echo "in-process, process start to shown (ms, median):  $(median < "$tmp/probe")"
echo "in-process, main() to shown (ms, median):         $(median < "$tmp/main")"
echo "peak memory at first show, VmHWM (MB, median):    $(median < "$tmp/hwm" | awk '{printf "%.1f", $1/1024}')"
echo "peak memory after a disc read, max RSS (MB, median): $(median < "$tmp/rss" | awk '{printf "%.1f", $1/1024}')"
