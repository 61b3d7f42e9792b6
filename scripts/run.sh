#!/usr/bin/env bash
# Sets up the machine (scripts/setup.sh) and runs the main job: a fresh
# sandbox machine is made and shown.
#
#   scripts/run.sh [MACHINE_DIR]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$here/scripts/setup.sh" "$here/build"
machine=${1:-$(mktemp -d /tmp/qv-machine.XXXXXX)}
"$here/build/qvinit" machine init "$machine"
"$here/build/qvinit" machine show "$machine"
