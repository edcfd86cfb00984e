#!/usr/bin/env bash
# Packs the Windows build into build-windows/kivo-dbupdate-windows-x64.zip: the companion, the
# window where the build has one, and a README for the Windows host. Each .exe must need no
# DLL beyond those every Windows has, since the zip holds nothing else.
# Usage: scripts/windows_dist.sh   (brings the cross-build up to date first, so no stale .exe is packed)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-windows
scripts/windows_build.sh >/dev/null

programs=("$build/cli/kivo-dbupdate-cli.exe")
# By its place in the build: a search would also find the copy a previous run staged.
window=$build/app/win32/kivo-dbupdate.exe
[[ -f $window ]] && programs+=("$window")

system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|comctl32|comdlg32|ole32|oleaut32|msvcrt|odbc32|ws2_32|uxtheme|version|shlwapi|imm32|winmm|api-ms-win-[a-z0-9-]+)\.dll$'
stage=$build/dist
rm -rf "$stage"
mkdir -p "$stage"
for exe in "${programs[@]}"; do
  while read -r dll; do
    if ! grep -Eqi "$system_dlls" <<<"$dll"; then
      echo "$exe needs $dll, which a Windows host does not have; link it statically" >&2
      exit 1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  x86_64-w64-mingw32-strip -o "$stage/$(basename "$exe")" "$exe"
done
# Notepad before Windows 10 1809 shows a file without CR as one line.
sed 's/$/\r/' docs/windows-readme.txt >"$stage/README.txt"

zip_file=$build/kivo-dbupdate-windows-x64.zip
rm -f "$zip_file"
(cd "$stage" && zip -q -X -D ../"$(basename "$zip_file")" ./*)
unzip -l "$zip_file"
