#!/usr/bin/env bash
# Wall time of `sonolabel-cli lookup` (TOC read, query, read, local save)
# against curl making the same two HTTP requests, both against the local CDDB
# server on loopback in the same run. Prints the medians of N runs and their
# ratio.  Usage: bench/lookup.sh [BUILD_DIR] [N]
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=$PWD/${1:-build}/bin
N=${2:-31}
WORK=$(mktemp -d)
. bench/local_server.sh
HELLO="&hello=me+example.com+SLB+1.311&proto=6"
# The local server stores its entries in UTF-8: its stored entry says so,
# and the lookup asks for level 6 as curl does.
printf '[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n[svr0]\r\nhost=127.0.0.1:%s\r\npath=/~cddb/cddb.cgi?\r\ncharset=UTF-8\r\n' "$PORT" >"$WORK/s.INI"
export SONOLABEL_ASPI=sim SONOLABEL_SIM_DRIVES=$PWD/demo/drives.ini SONOLABEL_INI=$WORK/s.INI SONOLABEL_WINDIR=$WORK

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s%N; }

cli=() ; crl=()
for _ in $(seq "$N"); do
  t0=$(now)
  "$BIN/sonolabel-cli" lookup --drive 1 --email me@example.com --server "$URL" >/dev/null 2>&1
  t1=$(now)
  curl -s -o /dev/null "${URL}cmd=cddb+query+990C360C+12+150+20337+40390+58655+79908+96001+116995+135847+156015+174960+194261+214019+3128${HELLO}"
  curl -s -o /dev/null "${URL}cmd=cddb+read+misc+990c360c${HELLO}"
  t2=$(now)
  cli+=($(( (t1 - t0) / 1000 ))); crl+=($(( (t2 - t1) / 1000 )))
done
mc=$(printf '%s\n' "${cli[@]}" | median); mu=$(printf '%s\n' "${crl[@]}" | median)
echo "sonolabel-cli lookup: median ${mc} us over $N runs"
echo "curl query + read:    median ${mu} us over $N runs"
awk -v a="$mc" -v b="$mu" 'BEGIN {printf "ratio: %.2f\n", a / b}'
