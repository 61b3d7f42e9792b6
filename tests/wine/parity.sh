# One run, two backends: the same install list and the same served files go
# to the Linux build (qvinit on a fresh sandbox machine) and to the library
# under Wine (a script through QvTest.ScriptEvents, see scripts.sh), both
# against one qvserver on 127.0.0.1, with the same files on the machine
# beforehand. What each leaves is compared case by case: the bytes of every
# target file (or its absence), the version side file, the font's registry
# value, the events in order and the message boxes with their texts. A few
# outcomes are also required outright, so that two runs failing alike do not
# pass. Needs build/qvinit and build/qvserver (the Linux build).
source "$(dirname "$0")/wine_lib.bash"

qvinit="$repo/build/qvinit"
fixtures="$repo/build/tests/fixtures"
if [ ! -x "$qvinit" ] || [ ! -f "$fixtures/v6_0_81_69_x64.dll" ]; then
  check "the Linux build is there (build/qvinit, build/tests/fixtures)" 1 "run scripts/setup.sh"
  finish
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
register_script_helper "$work" && timeout 120 wine regsvr32 /s "$(ocx_windows_path)"
check "the library and QvTest.ScriptEvents registered" $? "compiler, regedit or regsvr32 failed"

# The list: [name, served as, install type, version, folder, compressed].
# current.dll is installed already at its version, older.dll at a lower one;
# missing.dll is not served; packed.dll comes as a cabinet.
cat >"$work/records.json" <<'JSON'
[["current.dll", "current.dll", 2, "6.0.81.69", "CLIENTDIR", false],
 ["older.dll", "older.dll", 2, "40000.1.2.3", "CLIENTDIR", false],
 ["missing.dll", "missing.dll", 2, "1.0.0.0", "CLIENTDIR", false],
 ["packed.dll", "packed.dll.cmp", 2, "65535.65535.65535.65535", "COMMONDIR", true],
 ["quill.ttf", "quill.ttf", 2, "1.0", "FONTSDIR", false],
 ["data.bin", "data/data.bin", 5, "2.1.0.7", "QUILLMARKDIR", false],
 ["notes.txt", "docs/notes.txt", 2, "1.0", "CLIENTDIR", false]]
JSON
python3 - "$work/records.json" "$work/parity.rst" <<'PY'
import json, sys
fields = [("SequenceID", "integer"), ("FileName", "string"), ("DownloadLocation", "string"),
          ("InstallType", "integer"), ("FileVersion", "string"), ("AltCheck", "string"),
          ("AltCheckRegValue", "string"), ("InstallLocation", "string"),
          ("IsQVObject", "boolean"), ("Description", "string"), ("IsCompressed", "boolean")]
records = [[i + 1, name, served, kind, version, None, None, folder, False, "About " + name, packed]
           for i, (name, served, kind, version, folder, packed) in
           enumerate(json.load(open(sys.argv[1])))]
json.dump({"format": "qv-installlist", "version": 1,
           "fields": [{"name": n, "type": t} for n, t in fields], "records": records},
          open(sys.argv[2], "w"))
PY
mkdir -p "$work/files/data" "$work/files/docs" "$work/staging"
cp "$fixtures/v6_0_81_69_x64.dll" "$work/files/current.dll"
cp "$fixtures/v40000_1_2_3_x64.dll" "$work/files/older.dll"
cp "$fixtures/v65535_65535_65535_65535_x86.dll" "$work/staging/packed.dll"
"$repo/build/qvserver" pack "$work/staging/packed.dll" "$work/files/packed.dll.cmp" >/dev/null
printf 'glyphs' >"$work/files/quill.ttf"
printf 'data of 2.1.0.7\r\n' >"$work/files/data/data.bin"
printf 'notes\r\n' >"$work/files/docs/notes.txt"
start_qvserver "$work" "$work/parity.rst"
check "qvserver serves the list" $? "it did not start"
[ -n "${server_pid:-}" ] && trap 'kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT

# The machines: the same two files in the client folder of each.
machine="$work/machine"
"$qvinit" machine init "$machine" >/dev/null
sandbox_quillmark="$machine/drive_c/Program Files/Ostrel/Quillmark"
wine_quillmark="$WINEPREFIX/drive_c/Program Files/Ostrel/Quillmark"
rm -rf "$wine_quillmark" "$WINEPREFIX/drive_c/windows/Fonts/quill.ttf"
for root in "$sandbox_quillmark" "$wine_quillmark"; do
  mkdir -p "$root/Client"
  cp "$fixtures/v6_0_81_69_x64.dll" "$root/Client/current.dll"
  cp "$fixtures/v6_0_81_69_x86.dll" "$root/Client/older.dll"
done

# The run on each backend; "No" answers the questions on both.
QVINIT_PASSWORD=secret "$qvinit" --headless --machine "$machine" --report "$work/sandbox.report" --answer no \
  startup-v2 "$server_base/" "$server_base/bo" KEY alice "" >"$work/sandbox.out" 2>&1
check "the Linux build's run ends" $? "qvinit: $(tail -n 3 "$work/sandbox.out")"
python3 - "$work/sandbox.report" >"$work/sandbox.seen" <<'PY'
import json, sys
events, boxes = [], []
for line in open(sys.argv[1]):
    item = json.loads(line)
    # Init is raised when a host shows the control: qvinit does, a script
    # without a container does not.
    if "event" in item and item["event"] != "Init":
        events.append(item["event"])
    if "msgbox" in item:
        boxes.append("box=%s: %s" % (item["msgbox"]["title"], item["msgbox"]["text"].replace("\r", "\\r")))
print("events=" + ",".join(events))
print("\n".join(boxes))
PY
output=$(timeout 180 wine cscript //nologo "$(winepath -w "$repo/tests/wine/run_report.js" | tr -d '\r')" \
  60 7 StartupV2 "$server_base/" "$server_base/bo" KEY alice secret 2>&1)
code=$?
output=$(tr -d '\r' <<<"$output")
echo "$output" | sed 's/^/    /'
[ "$code" -eq 0 ] && [ "$(tail -n 1 <<<"$output")" = "RESULT ok" ]
check "the library's run ends" $? "exit code $code"
grep -v '^RESULT ' <<<"$output" | grep -v '^$' >"$work/wine.seen"
sed -i '/^$/d' "$work/sandbox.seen"

# Outcome by outcome.
diff -u "$work/sandbox.seen" "$work/wine.seen"
check "the same events and message boxes, in order" $? "see the difference above"
for file in Client/current.dll Client/older.dll Client/missing.dll Client/notes.txt \
            Common/packed.dll data.bin data.bin.ver; do
  if [ -f "$sandbox_quillmark/$file" ]; then
    cmp -s "$sandbox_quillmark/$file" "$wine_quillmark/$file"
  else
    [ ! -e "$wine_quillmark/$file" ]
  fi
  check "$file alike" $? "differs between the backends"
done
cmp -s "$machine/drive_c/Windows/Fonts/quill.ttf" "$WINEPREFIX/drive_c/windows/Fonts/quill.ttf"
check "the font file alike" $? "differs between the backends"
fonts='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Fonts'
sandbox_font=$("$qvinit" machine reg "$machine" query "$fonts" "Quillmark Font quill.ttf" 2>/dev/null)
wine_font=$(reg_value "$fonts" "Quillmark Font quill.ttf")
[ -n "$sandbox_font" ] && [ "$sandbox_font" = "$wine_font" ]
check "the font's registry value alike" $? "sandbox '$sandbox_font', Wine '$wine_font'"

# What both must have done, so that parity is not a shared failure.
cmp -s "$work/files/older.dll" "$wine_quillmark/Client/older.dll" &&
  cmp -s "$work/staging/packed.dll" "$wine_quillmark/Common/packed.dll" &&
  [ ! -e "$wine_quillmark/Client/missing.dll" ] &&
  grep -q '^events=Done$' "$work/wine.seen" && grep -q 'missing.dll' "$work/wine.seen"
check "the older file replaced, the cabinet expanded, the missing file reported, Done" $? \
  "see above"
timeout 120 wine regsvr32 /s /u "$(ocx_windows_path)"
finish
