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
output=$(timeout 120 wine "$work/com_probe.exe" "$(ocx_windows_path)" 'C:\qv_probe_media' 2>&1)
code=$?
output=$(tr -d '\r' <<<"$output")
echo "$output" | sed 's/^/    /'
[ "$code" -eq 0 ] && [ "$(tail -n 1 <<<"$output")" = "RESULT ok" ]
check "com_probe" $? "exit code $code"
cmp -s "$media/probe.txt" "$target"
check "the local run installed the file's bytes" $? "$target differs or is missing"
finish
