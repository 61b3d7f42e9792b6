#!/usr/bin/env bash
# Checks that includes run one way: a folder may include only itself and the
# folders below it; and that only platform/win32/windows_api.h includes
# <windows.h>. Prints every include that breaks the order and exits 1
# when there is one.
#
#   scripts/check_layers.sh
#
# The order, lowest first (docs/architecture.md draws it):
#   platform (the seam)          interfaces, shared value types, event loop
#   platform/<backend>           posix < sandbox, curl, headless, fltk
#   installlist, state           the install list format; module-level values
#   system < install < dialogs < control = engine
#   server                       platform, platform/posix and installlist only
#   host, tests, bench, examples may include anything
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# What each folder may include, besides itself. "platform" means the seam's
# own headers (platform/*.h), not a backend's.
allowed() {
  case "$1" in
    platform) echo "" ;;
    platform/posix) echo "platform" ;;
    platform/curl|platform/headless|platform/fltk) echo "platform platform/posix" ;;
    platform/sandbox) echo "platform platform/posix platform/curl platform/headless" ;;
    installlist) echo "platform" ;;
    state) echo "" ;;
    system) echo "platform state" ;;
    install) echo "platform installlist state system" ;;
    dialogs) echo "platform installlist state system install" ;;
    control|engine) echo "platform installlist state system install dialogs control engine" ;;
    server) echo "platform platform/posix installlist" ;;
    *) echo "*" ;;
  esac
}

# The layer a file or an included path belongs to: its folder, with the
# platform's backends told apart from the seam.
layer_of() {
  local path=$1
  case "$path" in
    platform/*/*) echo "${path%/*}" ;;
    */*) echo "${path%%/*}" ;;
    *) echo "." ;;
  esac
}

status=0
while IFS= read -r file; do
  from=$(layer_of "$file")
  ok=$(allowed "$from")
  [ "$ok" = "*" ] && continue
  while IFS= read -r line; do
    target=$(sed -E 's/^#include "([^"]+)".*/\1/' <<<"$line")
    [ "$target" = "qv_version.h" ] && continue
    to=$(layer_of "$target")
    [ "$to" = "$from" ] && continue
    case " $ok " in *" $to "*) continue ;; esac
    echo "$file: includes $target ($from may not include $to)"
    status=1
  done < <(grep -E '^#include "' "$file" || true)
done < <(git ls-files 'platform/*.h' 'platform/*.cc' 'installlist/*' 'state/*' 'system/*' \
           'install/*' 'dialogs/*' 'control/*' 'engine/*' 'server/*' | grep -E '\.(h|cc)$' | sort -u)

# Only the Windows backend's API header includes <windows.h> (it undoes the
# macros that would rename the seam's methods).
while IFS= read -r hit; do
  case "$hit" in platform/win32/windows_api.h:*) continue ;; esac
  echo "$hit: only platform/win32/windows_api.h includes <windows.h>"
  status=1
done < <(git grep -n -i -E '^#include <windows\.h>' -- '*.h' '*.cc' || true)

if [ "$status" -eq 0 ]; then echo "check_layers: every include runs downwards"; fi
exit "$status"
