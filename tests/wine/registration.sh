# regsvr32 registers the library (class, ProgID, type library and its
# interfaces) and unregisters all of it; both twice in a row succeed.
source "$(dirname "$0")/wine_lib.bash"

class='HKCR\CLSID\{CB9F67C5-0350-401E-8E88-6C26BFABECBA}'
library='HKCR\TypeLib\{78A7B69A-7B59-40A2-8D6A-978957FF96D6}\3.0'
dispatch='HKCR\Interface\{6C24C068-4FCB-49DB-B80B-5B7D98C9965E}'
events='HKCR\Interface\{4E6A4A01-5E56-47A4-A04B-8BD9F410077E}'
progid='HKCR\QV_INIT_V3.ctlInit_V3'
ocx=$(ocx_windows_path)

# What the tests before left running in the prefix (the probes' programs)
# must not be writing the registry while this one reads it back.
wineserver -k >/dev/null 2>&1
wineserver -w

for round in 1 2; do
  timeout 120 wine regsvr32 /s "$ocx"
  check "regsvr32 registers (round $round)" $? "exit code"
done

# key | value name ("" the default) | expected data
expected="$class||ctlInit_V3
$class\\InprocServer32||$ocx
$class\\InprocServer32|ThreadingModel|Apartment
$class\\ProgID||QV_INIT_V3.ctlInit_V3
$class\\TypeLib||{78A7B69A-7B59-40A2-8D6A-978957FF96D6}
$class\\Version||3.0
$progid\\CLSID||{CB9F67C5-0350-401E-8E88-6C26BFABECBA}
$library\\0\\win64||$ocx
$dispatch||_ctlInit_V3
$dispatch\\TypeLib||{78A7B69A-7B59-40A2-8D6A-978957FF96D6}
$events||__ctlInit_V3"
while IFS='|' read -r key name want; do
  got=$(reg_value "$key" "$name")
  [ "$got" = "$want" ]
  check "$key [${name:-default}] = $want" $? "found '$got'"
done <<<"$expected"

for key in "$class\\Control" \
           "$class\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}" \
           "$class\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"; do
  reg_key_exists "$key"
  check "$key exists" $? "missing"
done

for round in 1 2; do
  timeout 120 wine regsvr32 /s /u "$ocx"
  check "regsvr32 /u unregisters (round $round)" $? "exit code"
done
for key in "$class" "$progid" "$library" "$dispatch" "$events"; do
  ! reg_key_exists "$key"
  check "$key is gone" $? "still there"
done
finish
