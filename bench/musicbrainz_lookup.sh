#!/usr/bin/env bash
# Wall time of one MusicBrainz lookup per process (bench_mblookup: disc ID,
# request, answer read, titles printed) against curl fetching the same URL
# with the same User-Agent, both from sonolabel-mbsim on loopback in the same
# run. Prints the medians of N runs and their ratio.
# Usage: bench/musicbrainz_lookup.sh [BUILD_DIR] [N]
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=$PWD/${1:-build}/bin
N=${2:-31}
WORK=$(mktemp -d)
"$BIN/sonolabel-mbsim" --data "$PWD/tools/mbsim/data" --port-file "$WORK/port" --idle-exit 600 >/dev/null &
SERVER=$!
trap 'kill $SERVER 2>/dev/null || true; rm -rf "$WORK"' EXIT
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.05; done
SERVER_URL="http://127.0.0.1:$(cat "$WORK/port")"
# The twelve-track demo disc: three releases in the answer.
TOC="0:02:00 4:31:12 8:58:40 13:02:05 17:45:33 21:20:01 25:59:70 30:11:22 34:40:15 38:52:60 43:10:11 47:33:44 52:08:30"
URL="$SERVER_URL/ws/2/discid/QR_7w77PjDejS4..I_VMRFluI_A-?toc=1+12+234630+150+20337+40390+58655+79908+96001+116995+135847+156015+174960+194261+214019&inc=artist-credits+labels+recordings&fmt=json"
AGENT="Sonolabel/1.311 ( me@example.com )"
"$BIN/bench_mblookup" --toc "$TOC" --server "$SERVER_URL" --contact me@example.com >/dev/null
curl -sf -o /dev/null -A "$AGENT" "$URL"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s%N; }

mb=() ; crl=()
for _ in $(seq "$N"); do
  t0=$(now)
  "$BIN/bench_mblookup" --toc "$TOC" --server "$SERVER_URL" --contact me@example.com >/dev/null
  t1=$(now)
  curl -s -o /dev/null -A "$AGENT" -H "Accept: application/json" "$URL"
  t2=$(now)
  mb+=($(( (t1 - t0) / 1000 ))); crl+=($(( (t2 - t1) / 1000 )))
done
mm=$(printf '%s\n' "${mb[@]}" | median); mc=$(printf '%s\n' "${crl[@]}" | median)
echo "MusicBrainz lookup (bench_mblookup): median ${mm} us over $N runs"
echo "curl, same URL:                      median ${mc} us over $N runs"
awk -v a="$mm" -v b="$mc" 'BEGIN {printf "ratio: %.2f\n", a / b}'
