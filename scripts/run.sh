#!/usr/bin/env bash
# Installs what Sonolabel needs, builds it and starts it.
#
# With a CD drive present the program starts as it is, on the real drive and
# the CDDB server of its settings. Without one (or with SONOLABEL_DEMO=1) it
# starts in demo mode: the simulated drive layer with the demo discs of
# demo/drives.ini, and a local CDDB server on loopback serving the demo
# entries, so the whole lookup works offline. Without a display the same job
# runs through sonolabel-cli and prints the window's fields.
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
trap 'kill $SERVER 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$STATE/port" ] && break; sleep 0.05; done
PORT=$(cat "$STATE/port")

# Demo settings: one server, the local one. The e-mail address entered at the
# first start is kept from run to run.
INI=$STATE/sonolabel.INI
EMAIL=$(grep -i '^email=' "$INI" 2>/dev/null | head -n1 | cut -d= -f2- || true)
printf '[tunedex]\r\nemail=%s\r\nselectserver=0\r\nservercount=1\r\nsubmitemail=demo-submit@localhost\r\n[svr0]\r\nhost=127.0.0.1:%s\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\ncharset=UTF-8\r\n' \
  "$EMAIL" "$PORT" >"$INI"

export SONOLABEL_ASPI=sim
export SONOLABEL_SIM_DRIVES=$BIN/demo/drives.ini
export SONOLABEL_INI=$INI
export SONOLABEL_WINDIR=$STATE

echo "Demo: local CDDB server on 127.0.0.1:$PORT, simulated drives from demo/drives.ini."
if has_display; then
  echo "Pick a drive in the CD-ROM box, then choose データベース(D) > データベースから受信(R)."
  "$BIN/sonolabel"
else
  echo "No display: running the lookup of the demo drives through sonolabel-cli."
  for d in 0 1 2; do
    "$BIN/sonolabel-cli" lookup --drive "$d" --choose 1 --email "${EMAIL:-demo@localhost}" || true
  done
fi
