# Scripts create the registered control by its ProgID and call it by name
# (tests/wine/control.js and control.vbs). The script host exits 0 even after
# an uncaught error, so each script's last line must be "RESULT ok" and its
# exit code (the number of failed cases) 0.
source "$(dirname "$0")/wine_lib.bash"

ocx=$(ocx_windows_path)
# The local folder the start-up reads its list from, and an address of
# 127.0.0.1 where nothing listens (a free port, closed again).
media="$WINEPREFIX/drive_c/qv_script_media"
mkdir -p "$media"
printf 'a script run\r\n' >"$media/script.txt"
write_install_list "$media/installlist.rst" script.txt
nowhere="http://127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
timeout 120 wine regsvr32 /s "$ocx"
check "registered" $? "regsvr32 failed"
for script in control.js control.vbs; do
  output=$(timeout 120 wine cscript //nologo "$(winepath -w "$(dirname "$0")/$script" | tr -d '\r')" \
    'C:\qv_script_media' "$nowhere" 2>&1)
  code=$?
  output=$(tr -d '\r' <<<"$output")
  echo "$output" | sed 's/^/    /'
  [ "$code" -eq 0 ] && [ "$(tail -n 1 <<<"$output")" = "RESULT ok" ]
  check "$script" $? "exit code $code, last line '$(tail -n 1 <<<"$output")'"
done
timeout 120 wine regsvr32 /s /u "$ocx"
check "unregistered" $? "regsvr32 /u failed"
finish
