#!/usr/bin/env bash
# Runs the Windows backend's tests (qv_win32_tests.exe) under Wine in a fresh
# Wine prefix, which is removed afterwards. Exits with the test program's exit
# code: non-zero when any test fails.
#
#   tests/win32/run_wine_tests.sh BUILD_DIR [gtest arguments...]
#
# BUILD_DIR is a win32 cross build with the tests, made by
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
#         -DQV_BACKEND=win32 -DBUILD_TESTING=ON
#   cmake --build build-win64 --target qv_win32_tests
#
# The transfer tests get a local HTTP server (python3); the data space tests
# the reference server, when $QVSERVER or build/qvserver is a Linux build of it.
set -euo pipefail

case "${1:-}" in ""|-h|--help) sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 2 ;; esac
build_dir=$1
shift
# The user interface tests make windows: without a display they run on a
# virtual one.
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
  exec xvfb-run -a "${BASH_SOURCE[0]}" "$build_dir" "$@"
fi
program=$(cd "$build_dir" && pwd)/tests/win32/qv_win32_tests.exe
if [ ! -f "$program" ]; then
  echo "run_wine_tests: $program is missing (build with -DBUILD_TESTING=ON)" >&2
  exit 2
fi

WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1
# A Windows that GetVersionExW misreports to programs without a manifest, as
# every Windows after 8 does.
wine winecfg /v win10 >/dev/null 2>&1
wineserver -w

# A TrueType font of the build machine for the font test, by Wine's drive for
# the host's root (Z:).
font=$(find /usr/share/fonts -name '*.ttf' -print -quit 2>/dev/null || true)
if [ -n "$font" ]; then export QV_TEST_FONT="Z:${font//\//\\}"; fi

# A plain HTTP server on 127.0.0.1 (a free port) for the transfer tests, and
# an address where nothing listens. Besides the files of its folder it has
# answers no file server gives: /silent takes the request and never answers
# (until the client lets go), /silent-seen tells how many such requests came;
# a POST to /agent keeps its User-Agent in the folder's agent.txt (Wine's
# QV_TEST_SERVED) and is answered 404;
# the others send exactly their bytes on a kept connection, some more than
# their header announces.
served=$(mktemp -d)
python3 -c 'import sys; sys.stdout.buffer.write(bytes(i * 7 % 251 for i in range(1 << 20)))' \
  >"$served/body.bin"
python3 - "$served" <<'PY' &
import functools, http.server, sys
RAW = {
    "/exact": b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc",
    "/excess": b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdefgh",
    "/zero-then-data": b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nabcdefgh",
}
silent_seen = 0
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
    def do_GET(self):
        global silent_seen
        if self.path == "/silent":
            silent_seen += 1
            self.rfile.read(1)
            self.close_connection = True
        elif self.path == "/silent-seen":
            count = str(silent_seen).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(count)))
            self.end_headers()
            self.wfile.write(count)
        elif self.path in RAW:
            self.wfile.write(RAW[self.path])
            self.wfile.flush()
            self.close_connection = False
        else:
            super().do_GET()
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path == "/agent":
            with open(sys.argv[1] + "/agent.txt", "w") as f:
                f.write(self.headers.get("User-Agent", ""))
        self.send_error(404)
handler = functools.partial(Quiet, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
with open(sys.argv[1] + "/port.tmp", "w") as f:
    f.write(str(server.server_address[1]))
import os
os.rename(sys.argv[1] + "/port.tmp", sys.argv[1] + "/port")
server.serve_forever()
PY
server_pid=$!
cleanup_server() {
  kill "$server_pid" 2>/dev/null || true
  rm -rf "$served"
  cleanup
}
trap cleanup_server EXIT
for _ in $(seq 100); do [ -f "$served/port" ] && break; sleep 0.1; done
export QV_TEST_HTTP="http://127.0.0.1:$(cat "$served/port")"
export QV_TEST_SERVED="Z:${served//\//\\}"
closed_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export QV_TEST_CLOSED="http://127.0.0.1:$closed_port"

# The reference server for the data space tests, when a Linux build of it
# is there ($QVSERVER, or build/qvserver of this checkout): a fresh database
# with one account, on a free port of 127.0.0.1.
qvserver=${QVSERVER:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/qvserver}
if [ -x "$qvserver" ]; then
  "$qvserver" init "$served/db" >/dev/null
  echo secret | "$qvserver" user add "$served/db" KEY alice >/dev/null
  "$qvserver" serve "$served/db" --listen 127.0.0.1:0 >"$served/serve.out" 2>&1 &
  qvserver_pid=$!
  for _ in $(seq 100); do grep -q "listening on" "$served/serve.out" && break; sleep 0.1; done
  QV_TEST_BOSERVER="$(sed -n 's/.*listening on \(http:[^ ]*\).*/\1/p' "$served/serve.out" | head -1)/bo"
  export QV_TEST_BOSERVER
  cleanup_server() {
    kill "$qvserver_pid" "$server_pid" 2>/dev/null || true
    rm -rf "$served"
    cleanup
  }
fi

# Archives for the expander tests: two entries (one in a folder) packed by
# gcab, one file packed by the reference server.
if command -v gcab >/dev/null; then
  mkdir -p "$served/cab/sub"
  printf 'first entry\r\n' >"$served/cab/readme.txt"
  head -c 300000 "$served/body.bin" >"$served/cab/sub/data.bin"
  (cd "$served/cab" && gcab -c -z ../two.cmp readme.txt sub/data.bin)
  if [ -x "$qvserver" ]; then "$qvserver" pack "$served/cab/readme.txt" "$served/packed.cmp" >/dev/null; fi
  export QV_TEST_ARCHIVES="Z:${served//\//\\}"
fi

status=0
timeout 600 wine "$program" "$@" || status=$?
exit "$status"
