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

# write_install_list FILE NAME...: an install list that installs each NAME
# (install type 2, a file of the list's folder) into the client folder.
write_install_list() {
  local file=$1 records="" sequence=0 name
  shift
  for name in "$@"; do
    sequence=$((sequence + 1))
    [ -n "$records" ] && records+=","
    records+="[$sequence,\"$name\",\"$name\",2,\"1.0\",null,null,\"CLIENTDIR\",false,\"About $name\",false]"
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
