#!/usr/bin/env bash
# The whole upgrade on this machine: starts the SQL Server stand-in on 127.0.0.1 with a sample
# database, writes a sample web directory whose CAYUSR entry our own encoder made, runs the
# upgrade through the command-line companion, then opens the window if a display is present.
# Expects a build in build/ (scripts/setup.sh).
# Usage: scripts/demo.sh [--cli PATH] [--no-window]
#   --cli PATH   the companion to run (default: the one in build/), e.g. an installed one
#   --no-window  never open the window; exit with the companion's status
set -euo pipefail
cd "$(dirname "$0")/.."
cli=build/cli/kivo-dbupdate-cli
open_window=1
while (($#)); do
  case $1 in
    --cli) cli=$2; shift 2 ;;
    --no-window) open_window=0; shift ;;
    *) echo "usage: scripts/demo.sh [--cli PATH] [--no-window]" >&2; exit 2 ;;
  esac
done
window=build/app/qt/kivo-dbupdate
demo=build/demo
login=kivo
password=kivo-demo

mkdir -p "$demo/web"
rm -f "$demo/standin.out"
/usr/bin/python3 tests/tds/standin.py --scenario samples/demo-scenario.json --port 0 \
  --record "$demo/received.jsonl" >"$demo/standin.out" 2>"$demo/standin.err" &
standin=$!
trap 'kill "$standin" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^PORT ' "$demo/standin.out" 2>/dev/null && break
  kill -0 "$standin" 2>/dev/null || { cat "$demo/standin.err" >&2; exit 1; }
  sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$demo/standin.out")
[[ -n "$port" ]] || { echo "the stand-in did not start" >&2; exit 1; }
echo "SQL Server stand-in listening on 127.0.0.1:$port (pid $standin)"

value=$("$cli" encode "Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=127.0.0.1,$port;Initial Catalog=KivoDB;User ID=webapp;Password=stored-by-the-web-app")
sed "s/@CAYUSR@/$value/" samples/web.config.in >"$demo/web/web.config"
echo "Sample web directory: $demo/web (its web.config holds the scrambled connection value)"
echo
echo "== kivo-dbupdate-cli run --web-dir $demo/web --sql-login $login --password-env KIVO_DEMO_PASSWORD"
status=0
KIVO_DEMO_PASSWORD=$password KIVO_ODBC_DRIVER=${KIVO_ODBC_DRIVER:-FreeTDS} \
  "$cli" run --web-dir "$demo/web" --sql-login "$login" --password-env KIVO_DEMO_PASSWORD || status=$?
echo "== exit status $status"
((open_window)) || exit "$status"

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x "$window" ]]; then
  echo
  echo "Opening the window. Type the web directory $PWD/$demo/web, choose \"SQL Server Login\""
  echo "with login $login and password $password, and click \"Update Kivo\". The stand-in"
  echo "restarts with a fresh database for each demo; it stops when the window closes"
  echo "(or: kill $standin)."
  KIVO_ODBC_DRIVER=${KIVO_ODBC_DRIVER:-FreeTDS} "$window" || true
else
  echo "No display, so the window is not opened; the stand-in stops now."
fi
