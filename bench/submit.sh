#!/usr/bin/env bash
# Wall time of `sonolabel-cli submit` (TOC read, fields file, check, entry,
# POST) against curl posting the same entry with the same five header lines,
# both as separate processes against the local CDDB server on loopback in the
# same run. Prints the medians of N runs and their ratio.
# Usage: bench/submit.sh [BUILD_DIR] [N]
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=$PWD/${1:-build}/bin
N=${2:-31}
WORK=$(mktemp -d)
. bench/local_server.sh
printf '[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\nsubmitemail=submit@example.com\r\n[svr0]\r\nhost=127.0.0.1:%s\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n' "$PORT" >"$WORK/s.INI"
{
  # A new entry (the demo database has this disc under "misc" only).
  printf '{"category":"blues","artist":"月島ソラ","title":"表参道ラプソディ","year":"2003","genre":"Jpop","tracks":['
  for i in $(seq 12); do [ "$i" -gt 1 ] && printf ','; printf '{"title":"曲名その%s","artist":""}' "$i"; done
  printf ']}\n'
} >"$WORK/fields.json"
export SONOLABEL_ASPI=sim SONOLABEL_SIM_DRIVES=$PWD/demo/drives.ini SONOLABEL_INI=$WORK/s.INI SONOLABEL_WINDIR=$WORK
unset http_proxy HTTP_PROXY all_proxy ALL_PROXY

"$BIN/sonolabel-cli" submit --drive 1 --fields "$WORK/fields.json" --dry-run >"$WORK/entry" 2>/dev/null
DISCID=$(sed -n 's/^DISCID=\([0-9A-F]*\)\r$/\1/p' "$WORK/entry")
URL="http://127.0.0.1:$PORT/~cddb/submit.cgi"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s%N; }

cli=() ; crl=()
for _ in $(seq "$N"); do
  t0=$(now)
  "$BIN/sonolabel-cli" submit --test --drive 1 --fields "$WORK/fields.json" >/dev/null 2>&1
  t1=$(now)
  curl -sf -o /dev/null -A SLB -H 'Content-Type:' -H 'Expect:' -H 'Category: blues' \
    -H "Discid: $DISCID" -H 'User-Email: me@example.com' -H 'Submit-Mode: test' \
    --data-binary @"$WORK/entry" "$URL"
  t2=$(now)
  cli+=($(( (t1 - t0) / 1000 ))); crl+=($(( (t2 - t1) / 1000 )))
done
mc=$(printf '%s\n' "${cli[@]}" | median); mu=$(printf '%s\n' "${crl[@]}" | median)
echo "entry: $(wc -c <"$WORK/entry") bytes, disc $DISCID, Submit-Mode: test (checked, not stored)"
echo "sonolabel-cli submit: median ${mc} us over $N runs"
echo "curl POST:            median ${mu} us over $N runs"
awk -v a="$mc" -v b="$mu" 'BEGIN {printf "ratio: %.2f\n", a / b}'
