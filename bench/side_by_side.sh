#!/usr/bin/env bash
# Two builds of the program timed side by side in one run, to tell whether a
# change made anything slower:
#  - every Google Benchmark program both builds have, run in turns (old, new,
#    old, new, ...) so that a load change on the machine hits both alike;
#    the median of each benchmark's real and CPU time over the rounds;
#  - per process, as a user waits: `sonolabel-cli discid`, `disc` and
#    `lookup` (against the local CDDB server on loopback), each run old then
#    new, RUNS times; the medians of the wall time.
# Prints one line per measure with both medians and new/old; a ratio above
# 1.05 is marked "slower".
#
#   [PROGRAMS=REGEX] bench/side_by_side.sh OLD_BUILD NEW_BUILD [ROUNDS] [RUNS]   (3, 41)
#
# Build both with benchmarks on (the default of scripts/build.sh), e.g. an
# older commit checked out with `git worktree add` and built there.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 2 ] || { sed -n 2,16p "$0" | sed 's/^# \{0,1\}//'; exit 2; }
abs() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
OLD=$(abs "$1")/bin
NEW=$(abs "$2")/bin
ROUNDS=${3:-3}
RUNS=${4:-41}
export QT_QPA_PLATFORM=offscreen
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
RESULTS=$WORK/results
# PROGRAMS: a regular expression that limits the benchmark programs run
# (e.g. 'discid|ini'); RUNS=0 leaves out the per-process part.
PROGRAMS=${PROGRAMS:-.}

# Google Benchmark programs, their JSON output (the CSV writer gives up on
# counters that not every benchmark has) kept per side and round.
for round in $(seq "$ROUNDS"); do
  for prog in "$NEW"/bench_*; do
    name=$(basename "$prog")
    [ -x "$OLD/$name" ] || continue
    [[ $name =~ $PROGRAMS ]] || continue
    case $name in bench_mblookup) continue ;; esac
    for side in old new; do
      dir=$OLD
      [ $side = new ] && dir=$NEW
      "$dir/$name" --benchmark_format=json >"$WORK/$name.$side.$round.json" 2>/dev/null ||
        echo "$name ($side) failed" >&2
    done
  done
  echo "round $round of $ROUNDS of the benchmark programs done" >&2
done
python3 - "$WORK" >>"$RESULTS" <<'PY'
import glob, json, os, sys
# A program that repeats a benchmark reports its median (and maybe each
# repetition): the median stands for the run; otherwise each iteration line.
for path in sorted(glob.glob(os.path.join(sys.argv[1], "bench_*.json"))):
    prog, side = os.path.basename(path).split(".")[:2]
    try:
        runs = json.load(open(path)).get("benchmarks", [])
    except ValueError:
        continue
    medians = {r["run_name"]: r for r in runs
               if r.get("run_type") == "aggregate" and r.get("aggregate_name") == "median"}
    chosen = list(medians.values()) + [
        r for r in runs
        if r.get("run_type", "iteration") == "iteration" and r.get("run_name", r["name"]) not in medians]
    for r in chosen:
        if "error_occurred" in r:
            continue
        name = r.get("run_name", r["name"]).replace(" ", "_")
        print(f'{prog}:{name} {side} {r["real_time"]:.6g} {r["cpu_time"]:.6g} {r["time_unit"]}')
PY

# Per process, in alternation, against a local CDDB server started now (it
# ends itself after a while without requests).
BIN=$NEW
. bench/local_server.sh
# The demo drives without the keys an older build may not know.
grep -vE '^cdtext *=' demo/drives.ini >"$WORK/drives.ini"
export SONOLABEL_ASPI=sim SONOLABEL_SIM_DRIVES=$WORK/drives.ini SONOLABEL_INI=$WORK/s.INI
printf '[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n[svr0]\r\nhost=127.0.0.1:%s\r\npath=/~cddb/cddb.cgi?\r\ncharset=UTF-8\r\n' "$PORT" >"$WORK/s.INI"
mkdir -p "$WORK/old" "$WORK/new"
timed() {  # label side command...
  local label=$1 side=$2
  shift 2
  local t0 t1
  t0=$(date +%s%N)
  SONOLABEL_WINDIR=$WORK/$side "$@" >/dev/null 2>&1 || echo "$label ($side) failed" >&2
  t1=$(date +%s%N)
  echo "cli:${label// /_} $side $(((t1 - t0) / 1000)) 0 us" >>"$RESULTS"
}
for _ in $(seq 1 "$RUNS"); do
  for side in old new; do
    dir=$OLD
    [ $side = new ] && dir=$NEW
    timed "discid --drive 1" $side "$dir/sonolabel-cli" discid --drive 1
    timed "lookup --drive 1" $side "$dir/sonolabel-cli" lookup --drive 1 --server "$URL" --choose 1
    timed "disc --drive 1" $side "$dir/sonolabel-cli" disc --drive 1
  done
done

# Medians per measure and side, and the ratio.
sort -k1,1 -k2,2 "$RESULTS" | awk '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { key = $1; real[key, $2] = real[key, $2] " " $3; cpu[key, $2] = cpu[key, $2] " " $4; unit[key] = $5; keys[key] = 1 }
  END {
    printf "%-70s %12s %12s %7s %7s\n", "measure (real time; cpu time where measured)", "old", "new", "real", "cpu"
    for (k in keys) {
      if (!((k, "old") in real) || !((k, "new") in real)) continue
      ro = median(real[k, "old"]); rn = median(real[k, "new"])
      co = median(cpu[k, "old"]); cn = median(cpu[k, "new"])
      rr = ro > 0 ? rn / ro : 0; cr = co > 0 ? cn / co : 0
      mark = (rr > 1.05 && (cr == 0 || cr > 1.05)) ? "  slower" : ""
      printf "%-70s %10.4g%-2s %10.4g%-2s %7.3f %7.3f%s\n", substr(k, 1, 70), ro, unit[k], rn, unit[k], rr, cr, mark
    }
  }' | sort
