# Builds tests/wine/com_probe.cc for Windows and runs it against the library
# (no registration needed: the probe loads the library itself).
source "$(dirname "$0")/wine_lib.bash"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build_windows_program "$repo/tests/wine/com_probe.cc" "$work/com_probe.exe" -municode
check "com_probe.exe builds" $? "compiler failed"
[ -f "$work/com_probe.exe" ] || finish
# A local folder whose install list puts one small file in the client folder.
media="$WINEPREFIX/drive_c/qv_probe_media"
target="$WINEPREFIX/drive_c/Program Files/Ostrel/Quillmark/Client/probe.txt"
mkdir -p "$media" && rm -f "$target"
printf 'bytes the run copies\r\n' >"$media/probe.txt"
write_install_list "$media/installlist.rst" probe.txt
# An online run against the Linux qvserver on 127.0.0.1 when it is built: the
# same kind of list, its file served from the server's files folder.
online=()
online_target="$WINEPREFIX/drive_c/Program Files/Ostrel/Quillmark/Client/online.txt"
mkdir -p "$work/files" && rm -f "$online_target"
printf 'bytes the server hands out\r\n' >"$work/files/online.txt"
write_install_list "$work/online.rst" online.txt
if start_qvserver "$work" "$work/online.rst"; then
  trap 'kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT
  online=("$server_base/" "$server_base/bo" KEY alice secret)
fi
output=$(timeout 120 wine "$work/com_probe.exe" "$(ocx_windows_path)" 'C:\qv_probe_media' \
  "${online[@]}" 2>&1)
code=$?
output=$(tr -d '\r' <<<"$output")
echo "$output" | sed 's/^/    /'
[ "$code" -eq 0 ] && [ "$(tail -n 1 <<<"$output")" = "RESULT ok" ]
check "com_probe" $? "exit code $code"
cmp -s "$media/probe.txt" "$target"
check "the local run installed the file's bytes" $? "$target differs or is missing"
if [ ${#online[@]} -gt 0 ]; then
  cmp -s "$work/files/online.txt" "$online_target"
  check "the online run installed the served file's bytes" $? "$online_target differs or is missing"
fi
finish
