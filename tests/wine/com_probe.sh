# Builds tests/wine/com_probe.cc for Windows and runs it against the library
# (no registration needed: the probe loads the library itself).
source "$(dirname "$0")/wine_lib.bash"

here=$(cd "$(dirname "$0")/../.." && pwd)
build=${QV_OCX%/platform/win32/com/*}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -municode -O1 \
  -I"$here" -I"$build/generated" -isystem "$build/host-headers" \
  "$here/tests/wine/com_probe.cc" -o "$work/com_probe.exe" \
  -static -static-libgcc -static-libstdc++ -lole32 -loleaut32 -luuid
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
qvserver="$here/build/qvserver"
if [ -x "$qvserver" ]; then
  mkdir -p "$work/files" && rm -f "$online_target"
  printf 'bytes the server hands out\r\n' >"$work/files/online.txt"
  write_install_list "$work/online.rst" online.txt
  "$qvserver" init "$work/db" >/dev/null &&
    echo secret | "$qvserver" user add "$work/db" KEY alice >/dev/null &&
    "$qvserver" list import "$work/db" KEY "$work/online.rst" >/dev/null
  check "qvserver holds the online list" $? "qvserver init, user add or list import failed"
  "$qvserver" serve "$work/db" --files "$work/files" --listen 127.0.0.1:0 >"$work/serve.out" 2>&1 &
  qvserver_pid=$!
  trap 'kill "$qvserver_pid" 2>/dev/null; rm -rf "$work"' EXIT
  for _ in $(seq 100); do grep -q "listening on" "$work/serve.out" && break; sleep 0.1; done
  base=$(sed -n 's/.*listening on \(http:[^ ]*\).*/\1/p' "$work/serve.out" | head -1)
  online=("$base/" "$base/bo" KEY alice secret)
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
