#!/usr/bin/env bash
# Runs the Windows build's tests under Wine (CTest label windows): the companion's end-to-end
# tests with the .exe from build-windows/ and the one unpacked from the zip, and the native
# window's tests in a virtual display, against the stand-in. Needs
# scripts/windows_dist.sh and a configured build/ first; scripts/test.sh runs it after them.
set -euo pipefail
cd "$(dirname "$0")/.."

# The whole stage runs in one virtual display with a window manager: the first Wine program
# starts the prefix's desktop process, whose display every later window uses, and Wine's
# message boxes take clicks only with a window manager running.
if [[ -z ${KIVO_WINE_DISPLAY:-} ]]; then
  KIVO_WINE_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
openbox >/dev/null 2>&1 &
openbox_pid=$!
for ((tries = 0; tries < 100; tries++)); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done

# One prefix under build/ and one persistent wineserver for it: a server that wine starts by
# itself would hold every run's output pipe open for seconds after the program ends.
export WINEPREFIX=$PWD/build/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
cmake -S . -B build -DKIVO_WINE_PREFIX="$WINEPREFIX" \
  -DKIVO_WINDOWS_CLI="$PWD/build-windows/cli/kivo-dbupdate-cli.exe" \
  -DKIVO_WINDOWS_ZIP="$PWD/build-windows/kivo-dbupdate-windows-x64.zip" \
  -DKIVO_WINDOWS_WINDOW="$PWD/build-windows/app/win32/kivo-dbupdate.exe" \
  -DKIVO_WINDOWS_PROBE="$PWD/build-windows/tests/win32/window_probe.exe" >/dev/null
cmake --build build -j"$(nproc)" --target cli_e2e_tests window_win32_tests

mkdir -p "$WINEPREFIX"
# A server that an interrupted run left on this prefix would refuse a second one.
wineserver -k >/dev/null 2>&1 && wineserver -w
wineserver -p >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true; kill "$openbox_pid" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM

started=$SECONDS
timeout 300 wineboot --init >/dev/null 2>&1
echo "Wine prefix ready in $((SECONDS - started)) s"
started=$SECONDS
ctest --test-dir build --output-on-failure -j2 -L windows
echo "Windows tests took $((SECONDS - started)) s"
