# A file in the client folder held open by a running program cannot be
# replaced by a run: the control records the replacement for the next start
# of the machine, asks whether to restart now, and the old bytes stay until
# then. Once the program has ended and the next start (wineboot -r) has run,
# the new bytes are in place and the recorded replacement is gone.
#
# Builds tests/wine/file_holder.cc (the program holding the file) and
# tests/wine/defer_probe.cc (the client that starts the run and answers the
# question). The question is a message box: without a display the test runs
# on a virtual one.
source "$(dirname "$0")/wine_lib.bash"

if [ -z "${DISPLAY:-}" ] && [ "${1:-}" != "--on-display" ] && command -v xvfb-run >/dev/null; then
  # The prefix's processes (its desktop among them) started without a
  # display: end them so that the desktop comes up on the virtual one.
  wineserver -k >/dev/null 2>&1
  wineserver -w
  exec xvfb-run -a bash "$0" --on-display
fi

here=$(cd "$(dirname "$0")/../.." && pwd)
build=${QV_OCX%/platform/win32/com/*}
work=$(mktemp -d)
holder_pid=""
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
for program in file_holder defer_probe; do
  x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -municode -O1 \
    -I"$here" -I"$build/generated" -isystem "$build/host-headers" \
    "$here/tests/wine/$program.cc" -o "$work/$program.exe" \
    -static -static-libgcc -static-libstdc++ -lole32 -loleaut32 -luuid -luser32
  check "$program.exe builds" $? "compiler failed"
  [ -f "$work/$program.exe" ] || finish
done

# pending_names FILE: whether the machine's pending renames name FILE.
session='HKLM\System\CurrentControlSet\Control\Session Manager'
pending_names() {
  wine reg query "$session" /v PendingFileRenameOperations 2>/dev/null | tr -d '\r' |
    grep -qiF "$1"
}

# run_held NAME ANSWER: a run whose list installs NAME (install type 2) over
# the copy in the client folder that a running program holds open; the
# probe answers the restart question with ANSWER. Leaves the program running.
client="$WINEPREFIX/drive_c/Program Files/Ostrel/Quillmark/Client"
stop="$WINEPREFIX/drive_c/qv_defer_stop"
run_held() {
  local name=$1 answer=$2 media="$WINEPREFIX/drive_c/qv_defer_$2"
  target="$client/$name"
  mkdir -p "$media" "$client" && rm -f "$stop"
  printf 'the old bytes, held open\r\n' >"$target"
  printf 'the new bytes of %s, for the next start\r\n' "$name" >"$media/$name"
  cp "$target" "$work/old.txt"
  write_install_list "$media/installlist.rst" "$name"
  timeout 180 wine "$work/file_holder.exe" "C:\\Program Files\\Ostrel\\Quillmark\\Client\\$name" \
    'C:\qv_defer_stop' >"$work/holder.out" 2>&1 &
  holder_pid=$!
  for _ in $(seq 300); do grep -q holding "$work/holder.out" && break; sleep 0.1; done
  grep -q holding "$work/holder.out"
  check "a program holds $name open" $? "$(tr -d '\r' <"$work/holder.out")"
  output=$(timeout 120 wine "$work/defer_probe.exe" "$(ocx_windows_path)" "C:\\qv_defer_$answer" \
    "$answer" 2>&1)
  local code=$?
  output=$(tr -d '\r' <<<"$output")
  echo "$output" | sed 's/^/    /'
  [ "$code" -eq 0 ] && [ "$(grep '^RESULT' <<<"$output" | tail -n 1)" = "RESULT ok" ]
  check "defer_probe (answered $answer)" $? "exit code $code"
  cmp -s "$work/old.txt" "$target"
  check "the old bytes of $name stay while the program holds it" $? "$target changed"
}

end_holder() {
  touch "$stop"
  wait "$holder_pid"
  holder_pid=""
}

# Answered no: the replacement waits for the next start.
run_held held.txt no
pending_names 'Client\held.txt'
check "the pending renames name held.txt" $? "no PendingFileRenameOperations entry for it"
end_holder
timeout 120 wineboot -r >/dev/null 2>&1
check "the next start (wineboot -r) runs" $? "wineboot -r failed"
timeout 60 wineserver -w
cmp -s "$WINEPREFIX/drive_c/qv_defer_no/held.txt" "$target"
check "after the next start the new bytes are in place" $? "$target holds $(tr -d '\r' <"$target")"
! pending_names 'Client\held.txt'
check "the pending rename is gone" $? "PendingFileRenameOperations still names the target"

# Answered yes: Reboot instead of Done, and the machine is asked to restart
# (Wine ends the session's programs; the held file is no concern of it here).
run_held held_too.txt yes
end_holder
timeout 60 wineserver -w
finish
