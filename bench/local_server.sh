# Sourced by the benchmark scripts: starts sonolabel-cddbd on loopback with a
# private copy of the demo entries in $WORK, stops it at exit, and sets PORT
# and URL. Needs BIN and WORK.
cp -r demo/cddb "$WORK/root"
"$BIN/sonolabel-cddbd" --root "$WORK/root" --port 0 --port-file "$WORK/port" --idle-exit 600 >/dev/null &
SERVER=$!
trap 'kill $SERVER 2>/dev/null || true; rm -rf "$WORK"' EXIT
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.05; done
PORT=$(cat "$WORK/port")
URL="http://127.0.0.1:$PORT/~cddb/cddb.cgi?"
