# Scripts create the registered control by its ProgID and call it by name
# (tests/wine/control.js and control.vbs). The script host exits 0 even after
# an uncaught error, so each script's last line must be "RESULT ok" and its
# exit code (the number of failed cases) 0.
source "$(dirname "$0")/wine_lib.bash"

ocx=$(ocx_windows_path)
wine regsvr32 /s "$ocx"
check "registered" $? "regsvr32 failed"
for script in control.js control.vbs; do
  output=$(wine cscript //nologo "$(winepath -w "$(dirname "$0")/$script" | tr -d '\r')" 2>&1)
  code=$?
  output=$(tr -d '\r' <<<"$output")
  echo "$output" | sed 's/^/    /'
  [ "$code" -eq 0 ] && [ "$(tail -n 1 <<<"$output")" = "RESULT ok" ]
  check "$script" $? "exit code $code, last line '$(tail -n 1 <<<"$output")'"
done
wine regsvr32 /s /u "$ocx"
check "unregistered" $? "regsvr32 /u failed"
finish
