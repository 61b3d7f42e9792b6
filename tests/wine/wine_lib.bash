# Shared by the tests under Wine (sourced, not run): the case counter and
# registry reads. scripts/windows.sh sets QV_OCX (the library) and WINEPREFIX.
set -uo pipefail
: "${QV_OCX:?set by scripts/windows.sh test}"
failures=0

# check NAME CONDITION-RESULT DETAIL: one case; CONDITION-RESULT is 0 for met.
check() {
  if [ "$2" -eq 0 ]; then
    echo "ok   $1"
  else
    echo "FAIL $1 ($3)"
    failures=$((failures + 1))
  fi
}

finish() {
  if [ "$failures" -eq 0 ]; then echo "RESULT ok"; else echo "RESULT failed"; fi
  exit "$failures"
}

# reg_value KEY NAME: the data of a REG_SZ value ("" names the default one),
# nothing when the key or value is missing.
reg_value() {
  local args=(/v "$2")
  [ -z "$2" ] && args=(/ve)
  wine reg query "$1" "${args[@]}" 2>/dev/null | tr -d '\r' |
    sed -n -E 's/^ +[^ ].* +REG_SZ( +(.*))?$/\2/p' | head -n 1
}

reg_key_exists() { wine reg query "$1" >/dev/null 2>&1; }

ocx_windows_path() { winepath -w "$QV_OCX" 2>/dev/null | tr -d '\r'; }

# write_install_list FILE NAME[@FOLDER]...: an install list that installs each
# NAME (install type 2, a file of the list's folder) into FOLDER, a target
# folder token (default CLIENTDIR).
write_install_list() {
  local file=$1 records="" sequence=0 entry name folder
  shift
  for entry in "$@"; do
    name=${entry%@*}
    folder=CLIENTDIR
    [ "$name" != "$entry" ] && folder=${entry#*@}
    sequence=$((sequence + 1))
    [ -n "$records" ] && records+=","
    records+="[$sequence,\"$name\",\"$name\",2,\"1.0\",null,null,\"$folder\",false,\"About $name\",false]"
  done
  cat >"$file" <<LIST
{"format":"qv-installlist","version":1,"fields":[
{"name":"SequenceID","type":"integer"},{"name":"FileName","type":"string"},
{"name":"DownloadLocation","type":"string"},{"name":"InstallType","type":"integer"},
{"name":"FileVersion","type":"string"},{"name":"AltCheck","type":"string"},
{"name":"AltCheckRegValue","type":"string"},{"name":"InstallLocation","type":"string"},
{"name":"IsQVObject","type":"boolean"},{"name":"Description","type":"string"},
{"name":"IsCompressed","type":"boolean"}],
"records":[$records]}
LIST
}

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${QV_OCX%/platform/win32/com/*}

# build_windows_program SOURCE OUTPUT [FLAG...]: a test program (or, with
# -shared, a library) of tests/wine/ built for 64-bit Windows, runtime linked in.
build_windows_program() {
  local source=$1 output=$2
  shift 2
  x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -O1 \
    -I"$repo" -I"$build/generated" -isystem "$build/host-headers" "$source" -o "$output" "$@" \
    -static -static-libgcc -static-libstdc++ -lole32 -loleaut32 -luuid
}

# start_qvserver DIR LIST: the Linux qvserver on a free port of 127.0.0.1,
# its database in DIR/db, serving DIR/files, with user alice (password
# "secret") of key KEY whose install list is LIST. Sets server_base
# ("http://127.0.0.1:PORT") and server_pid; returns 1 when it does not start.
start_qvserver() {
  local dir=$1 list=$2 qvserver="$repo/build/qvserver"
  [ -x "$qvserver" ] || return 1
  mkdir -p "$dir/files"
  "$qvserver" init "$dir/db" >/dev/null &&
    echo secret | "$qvserver" user add "$dir/db" KEY alice >/dev/null &&
    "$qvserver" list import "$dir/db" KEY "$list" >/dev/null || return 1
  "$qvserver" serve "$dir/db" --files "$dir/files" --listen 127.0.0.1:0 >"$dir/serve.out" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do grep -q "listening on" "$dir/serve.out" && break; sleep 0.1; done
  server_base=$(sed -n 's/.*listening on \(http:[^ ]*\).*/\1/p' "$dir/serve.out" | head -1)
  [ -n "$server_base" ]
}

# register_script_helper DIR: builds tests/wine/script_events.cc into DIR and
# registers it as the in-process server of QvTest.ScriptEvents.
register_script_helper() {
  local dll="$1/script_events.dll" class='{5B1D7E52-3C4A-4F0E-9A61-2D8C7B3E91A4}' path
  build_windows_program "$repo/tests/wine/script_events.cc" "$dll" -shared || return 1
  path=$(winepath -w "$dll" | tr -d '\r')
  cat >"$1/helper.reg" <<REG
REGEDIT4

[HKEY_CLASSES_ROOT\\CLSID\\$class\\InprocServer32]
@="${path//\\/\\\\}"
"ThreadingModel"="Apartment"

[HKEY_CLASSES_ROOT\\QvTest.ScriptEvents\\CLSID]
@="$class"
REG
  timeout 120 wine regedit /s "$(winepath -w "$1/helper.reg" | tr -d '\r')"
}
