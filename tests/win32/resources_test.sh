#!/usr/bin/env bash
# Reads the version resource and the manifest back from each .exe, decompiled by windres from
# the file's resource section: the version Explorer's Details show must be the project's, and
# the manifest must ask for no elevation.
# Usage: resources_test.sh VERSION WINDRES EXE...   (run by CTest)
set -euo pipefail
version=$1 windres=$2
shift 2
IFS=. read -r major minor patch tweak <<<"$version"
fixed="$major, ${minor:-0}, ${patch:-0}, ${tweak:-0}"
dotted="$major.${minor:-0}.${patch:-0}.${tweak:-0}"
status=0
for exe in "$@"; do
  name=$(basename "$exe")
  rc=$("$windres" -i "$exe" -O rc)
  problems=()
  for wanted in " FILEVERSION $fixed" " PRODUCTVERSION $fixed" \
                "VALUE \"FileVersion\", \"$dotted\"" "VALUE \"ProductVersion\", \"$version\"" \
                "VALUE \"OriginalFilename\", \"$name\"" "VALUE \"ProductName\", \"Kivo DB Update\"" \
                "VALUE \"CompanyName\", \"Kivo dbupdate maintainers\"" \
                "<requestedExecutionLevel level=\"\"asInvoker\"\" uiAccess=\"\"false\"\"/>" \
                "name=\"\"Kivo.DBUpdate" "version=\"\"$dotted\"\""; do
    grep -qF -- "$wanted" <<<"$rc" || problems+=("no $wanted")
  done
  grep -qE 'VALUE "FileDescription", "Kivo DB Update[^"]*"' <<<"$rc" || problems+=("no description")
  grep -qE 'VALUE "LegalCopyright", "Copyright \(C\) [0-9]{4} ' <<<"$rc" || problems+=("no copyright")
  if ((${#problems[@]})); then
    printf "$name: %s\n" "${problems[@]}" >&2
    status=1
  else
    echo "$name: version $version, asInvoker"
  fi
done
exit "$status"
