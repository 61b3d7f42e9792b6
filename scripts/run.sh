#!/usr/bin/env bash
# Sets up the machine (scripts/setup.sh) and runs the main job: qvinit demo
# serves a sample catalog on 127.0.0.1, installs it onto a fresh sandbox
# machine and prints what was installed where.
#
#   scripts/run.sh [MACHINE_DIR]     MACHINE_DIR must not exist yet
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$here/scripts/setup.sh" "$here/build"
if [ $# -gt 0 ]; then
  exec "$here/build/qvinit" demo --machine "$1"
fi
exec "$here/build/qvinit" demo
