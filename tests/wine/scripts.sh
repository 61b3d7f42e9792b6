# Scripts create the registered control by its ProgID and call it by name
# (tests/wine/control.js and control.vbs), and start runs and wait for them
# (tests/wine/runs.js, runs.vbs) against the Linux qvserver on 127.0.0.1, through the
# test-only helper QvTest.ScriptEvents (script_events.cc), built and
# registered here. The script host exits 0 even after an uncaught error, so
# each script's last line must be "RESULT ok" and its exit code (the number
# of failed cases) 0.
source "$(dirname "$0")/wine_lib.bash"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ocx=$(ocx_windows_path)

# run_script NAME ARG...: one script under cscript, as one case.
run_script() {
  local script=$1 output code
  shift
  output=$(timeout 300 wine cscript //nologo "$(winepath -w "$repo/tests/wine/$script" | tr -d '\r')" \
    "$@" 2>&1)
  code=$?
  output=$(tr -d '\r' <<<"$output")
  echo "$output" | sed 's/^/    /'
  [ "$code" -eq 0 ] && [ "$(tail -n 1 <<<"$output")" = "RESULT ok" ]
  check "$script" $? "exit code $code, last line '$(tail -n 1 <<<"$output")'"
}

register_script_helper "$work"
check "QvTest.ScriptEvents built and registered" $? "compiler or regedit failed"
timeout 120 wine regsvr32 /s "$ocx"
check "registered" $? "regsvr32 failed"

# Calls by name: a local folder with a list, and an address of 127.0.0.1
# where nothing listens (a free port, closed again).
media="$WINEPREFIX/drive_c/qv_script_media"
mkdir -p "$media"
printf 'a script run\r\n' >"$media/script.txt"
write_install_list "$media/installlist.rst" script.txt
nowhere="http://127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
for script in control.js control.vbs; do
  run_script "$script" 'C:\qv_script_media' "$nowhere"
done

# Runs: qvserver serves a list of a file for the client folder and a font,
# and the two fixed files a copy-only run fetches first (through the proxy).
printf 'bytes the server hands out\r\n' >"$work/online.txt"
head -c 3000 /dev/urandom >"$work/qvfont.ttf"
write_install_list "$work/runs.rst" online.txt qvfont.ttf@FONTSDIR
if start_qvserver "$work" "$work/runs.rst"; then
  cp "$work/online.txt" "$work/qvfont.ttf" "$work/files/"
  python3 "$repo/tests/wine/forward_proxy.py" "${server_base#http://}" >"$work/proxy.out" 2>&1 &
  proxy_pid=$!
  trap 'kill "$server_pid" "$proxy_pid" 2>/dev/null; rm -rf "$work"' EXIT
  for _ in $(seq 100); do grep -q "listening on" "$work/proxy.out" && break; sleep 0.1; done
  proxy_port=$(sed -n 's/^listening on \([0-9]*\)$/\1/p' "$work/proxy.out")
  copy="$WINEPREFIX/drive_c/qv_copy"
  mkdir -p "$copy" "$WINEPREFIX/drive_c/qv_no_list"
  run_script runs.js "$server_base" KEY alice secret "127.0.0.1:$proxy_port" 'C:\qv_copy' \
    'C:\qv_no_list'
  cmp -s "$work/qvfont.ttf" "$copy/qvfont.ttf"
  check "the copy-only run gathered the font's bytes" $? "$copy/qvfont.ttf differs or is missing"
  run_script runs.vbs "$server_base" KEY alice secret
else
  check "qvserver starts (build/qvserver)" 1 "not built, or it did not start"
fi
timeout 120 wine regsvr32 /s /u "$ocx"
check "unregistered" $? "regsvr32 /u failed"
finish
