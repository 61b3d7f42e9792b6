# Builds tests/wine/site_probe.cc for Windows and runs it against the library
# (no registration needed: the probe loads the library itself). The probe
# makes windows: without a display it runs on a virtual one.
source "$(dirname "$0")/wine_lib.bash"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build_windows_program "$repo/tests/wine/site_probe.cc" "$work/site_probe.exe" -municode \
  -lgdi32 -luser32
check "site_probe.exe builds" $? "compiler failed"
[ -f "$work/site_probe.exe" ] || finish
ocx=$(ocx_windows_path)
runner=(wine)
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
  # The prefix's processes (its desktop among them) started without a
  # display: end them so that the probe's desktop is on the virtual one, and
  # let them end before the display goes.
  wineserver -k >/dev/null 2>&1
  wineserver -w
  runner=(xvfb-run -a sh -c 'wine "$0" "$1"; code=$?; wineserver -w; exit $code')
fi
output=$(timeout 120 "${runner[@]}" "$work/site_probe.exe" "$ocx" 2>&1)
code=$?
output=$(tr -d '\r' <<<"$output")
echo "$output" | sed 's/^/    /'
# The virtual display may report its own end after the probe's last line.
[ "$code" -eq 0 ] && [ "$(grep '^RESULT ' <<<"$output" | tail -n 1)" = "RESULT ok" ]
check "site_probe" $? "exit code $code"
finish
