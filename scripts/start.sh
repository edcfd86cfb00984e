#!/usr/bin/env bash
# Sets up and builds, then shows a whole upgrade against the SQL Server stand-in on this machine
# and opens the window when a display is present.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec scripts/demo.sh
