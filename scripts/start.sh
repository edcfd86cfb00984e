#!/usr/bin/env bash
# Sets up and builds, then starts the program: the window where a display is present,
# otherwise the command-line companion's help.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  exec build/app/kivo-dbupdate
fi
echo "No display: the window needs one. The command-line companion:"
build/cli/kivo-dbupdate-cli --help
