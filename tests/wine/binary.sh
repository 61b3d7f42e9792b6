# The library file itself, for each word size built: it needs no runtime DLL
# beside the system's, exports exactly the four COM entry points, and carries
# its type library (resource 1 of type TYPELIB) and a version resource with
# the generated library version and "OLESelfRegister".
source "$(dirname "$0")/wine_lib.bash"

# GUID bytes as a type library stores them (the first three fields little-
# endian): the library and the class.
library_bytes='\x9a\xb6\xa7\x78\x59\x7b\xa2\x40\x8d\x6a\x97\x89\x57\xff\x96\xd6'
class_bytes='\xc5\x67\x9f\xcb\x50\x03\x1e\x40\x8e\x88\x6c\x26\xbf\xab\xec\xba'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_library() {
  local ocx=$1 prefix=$2 label
  label=$(basename "$(dirname "$(dirname "$(dirname "$(dirname "$ocx")")")")")
  local build=${ocx%/platform/win32/com/*}
  local version
  version=$(sed -n -E 's/.*kLibraryVersion\[\] = "(.*)";/\1/p' "$build/generated/qv_version.h")

  local imports
  imports=$("$prefix-objdump" -p "$ocx" | sed -n -E 's/^\s*DLL Name: (.*)$/\1/p' | tr 'A-Z' 'a-z')
  ! grep -q -E 'libwinpthread|libstdc\+\+|libgcc|libgcrypt|libgpg-error' <<<"$imports"
  check "$label: no runtime DLL imported" $? "imports: $(echo $imports)"
  local unknown
  unknown=$(grep -v -x -E 'kernel32.dll|advapi32.dll|ole32.dll|oleaut32.dll|msvcrt.dll|user32.dll|gdi32.dll|version.dll|wininet.dll|cabinet.dll|ws2_32.dll|api-ms-win-.*' <<<"$imports")
  [ -z "$unknown" ]
  check "$label: only system DLLs imported" $? "also: $(echo $unknown)"

  local exports
  exports=$("$prefix-objdump" -p "$ocx" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            sed -n -E 's/^\s*\[ *[0-9]+\] (.*)$/\1/p' | sort | tr '\n' ' ')
  [ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ]
  check "$label: the four entry points exported" $? "exports: $exports"

  local rc
  rc=$("$prefix-windres" -i "$ocx" -O rc 2>/dev/null)
  grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$rc"
  check "$label: FileVersion $version" $? "version resource: $(grep FileVersion <<<"$rc")"
  grep -q 'VALUE "OLESelfRegister"' <<<"$rc"
  check "$label: OLESelfRegister stated" $? "missing"

  "$prefix-windres" -i "$ocx" -O res -o "$work/$label.res" 2>/dev/null
  local name pattern
  while IFS='|' read -r name pattern; do
    LC_ALL=C grep -q -a -P "$pattern" "$work/$label.res"
    check "$label: type library resource holds $name" $? "not in the resources"
  done <<<"its signature|MSFT
the library GUID|$library_bytes
the class GUID|$class_bytes"
}

check_library "$QV_OCX" x86_64-w64-mingw32
if [ -n "${QV_OCX32:-}" ] && [ -f "$QV_OCX32" ]; then
  check_library "$QV_OCX32" i686-w64-mingw32
fi
finish
