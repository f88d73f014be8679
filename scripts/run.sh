#!/usr/bin/env bash
# Installs what Sonolabel needs, builds it and starts it.
#
# With a CD drive present the program starts as it is, on the real drive and
# the CDDB server of its settings. Without one (or with SONOLABEL_DEMO=1) it
# starts in demo mode: the simulated drive layer with the demo discs of
# demo/drives.ini, a local CDDB server on loopback serving the demo entries
# and sonolabel-mbsim, a local stand-in for MusicBrainz that answers for the
# demo discs (the Japanese CD-Text disc is known to it and not to the CDDB
# server), so the whole lookup works offline. Beside it runs dsmp-sim, the
# reference DSMP player, with the demo play list of demo/playlist.json, so the
# import from and export to the player can be tried. Without a display the
# same jobs run through sonolabel-cli and print the window's fields.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
BIN=$PWD/${BUILD_DIR:-build}/bin

has_display() { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }

if [ "${SONOLABEL_DEMO:-}" != 1 ] && compgen -G "/dev/sr*" >/dev/null; then
  has_display || { echo "No display: start sonolabel from a desktop session." >&2; exit 1; }
  exec "$BIN/sonolabel"
fi

STATE=${XDG_STATE_HOME:-$HOME/.local/state}/sonolabel-demo
mkdir -p "$STATE"
rm -f "$STATE/port"
# The demo server ends by itself after an hour without requests.
"$BIN/sonolabel-cddbd" --root "$BIN/demo/cddb" --submit-dir "$STATE/submissions" \
  --port 0 --port-file "$STATE/port" --idle-exit 3600 >/dev/null &
SERVER=$!
rm -f "$STATE/mbport"
"$BIN/sonolabel-mbsim" --data "$BIN/demo/musicbrainz" --port 0 --port-file "$STATE/mbport" \
  --idle-exit 3600 >/dev/null &
MBSIM=$!
# The servers and the player end with the script, and are reaped.
trap 'kill $SERVER $MBSIM ${PLAYER:-} 2>/dev/null || true; wait 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$STATE/port" ] && [ -s "$STATE/mbport" ] && break; sleep 0.05; done
PORT=$(cat "$STATE/port")
MBPORT=$(cat "$STATE/mbport")

# Demo settings: one server, the local one, and the local MusicBrainz
# stand-in, asked when the CDDB server has no match. The e-mail address
# entered at the first start is kept from run to run. `sonolabel --demo`
# writes the same (src/demo/demo.cpp) into the same folder: keep the two
# alike.
INI=$STATE/sonolabel.INI
EMAIL=$(grep -i '^email=' "$INI" 2>/dev/null | head -n1 | cut -d= -f2- | tr -d '\r' || true)
printf '[tunedex]\r\nemail=%s\r\nselectserver=0\r\nservercount=1\r\nsubmitemail=demo-submit@localhost\r\n[svr0]\r\nhost=127.0.0.1:%s\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\ncharset=UTF-8\r\n[musicbrainz]\r\nserver=http://127.0.0.1:%s\r\nuse=1\r\n' \
  "$EMAIL" "$PORT" "$MBPORT" >"$INI"

# The player link finds the player through the IPC folder under
# XDG_RUNTIME_DIR; a session without one gets a private folder.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
fi
# A fresh copy of the demo play list each run; the window can also start the
# player itself (SONOLABEL_DSMP) when it is not running.
cp "$BIN/demo/playlist.json" "$STATE/playlist.json"
export SONOLABEL_DSMP=$BIN/dsmp-sim
export DSMP_SIM_STATE=$STATE/playlist.json
"$BIN/dsmp-sim" </dev/null >/dev/null &
PLAYER=$!

export SONOLABEL_ASPI=sim
export SONOLABEL_SIM_DRIVES=$BIN/demo/drives.ini
export SONOLABEL_INI=$INI
export SONOLABEL_WINDIR=$STATE

echo "Demo: local CDDB server on 127.0.0.1:$PORT, MusicBrainz stand-in on 127.0.0.1:$MBPORT,"
echo "      simulated drives from demo/drives.ini, dsmp-sim with the play list in $STATE/playlist.json."
if has_display; then
  echo "Pick a drive in the CD-ROM box, then choose データベース(D) > データベースから受信(R)."
  echo "The CD-Text drives show the disc's own text; the CDDB server does not know them, so the"
  echo "lookup asks MusicBrainz next (DEMO CDTEXT JP is found there, DEMO CDTEXT FR is not)."
  echo "ファイル(F) > リストの読み込み(R) > DSMP(D) imports the play list's titles;"
  echo "ファイル(F) > リストの保存(W) > DSMP(D) fills in the titles the play list lacks."
  "$BIN/sonolabel"
else
  echo "No display: running the lookup of the demo drives through sonolabel-cli."
  for d in 0 1 2; do
    "$BIN/sonolabel-cli" lookup --drive "$d" --choose 1 --email "${EMAIL:-demo@localhost}" || true
  done
  echo "Drive 4 (DEMO CDTEXT JP): unknown to the CDDB server, so MusicBrainz is asked next."
  echo "Its MusicBrainz disc ID and the page that attaches it to a release:"
  "$BIN/sonolabel-cli" mbid --drive 4 || true
  "$BIN/sonolabel-cli" lookup --drive 4 --choose 1 --email "${EMAIL:-demo@localhost}" || true
  echo "Importing the demo play list's titles into drive 0's window:"
  "$BIN/sonolabel-cli" player import --drive 0 || true
  echo "Exporting drive 0's titles (looked up above) and artists into the play list:"
  "$BIN/sonolabel-cli" player export --drive 0 --artists yes || true
  echo "The play list now reads:"
  "$BIN/sonolabel-cli" player import --drive 0 || true
fi
