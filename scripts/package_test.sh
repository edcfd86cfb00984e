#!/usr/bin/env bash
# Builds the .deb packages, judges them as Debian does (lintian: no error, no warning;
# hardening-check on both programs), installs them with apt-get, runs the installed companion
# against the SQL Server stand-in (scripts/demo.sh) and removes the packages again, whatever
# happens.
# Needs root or sudo; packages of these names installed before are replaced and removed too.
# Usage: scripts/package_test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo -n)
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive timeout 300 apt-get -y -q
     -o Dpkg::Use-Pty=0)

mapfile -t debs < <(scripts/package.sh --deb-only)
((${#debs[@]} == 2)) || { echo "package test: expected two .deb files: ${debs[*]}" >&2; exit 1; }
for deb in "${debs[@]}"; do
  echo "$(basename "$deb"): $(stat -c %s "$deb") bytes; depends: $(dpkg-deb -f "$deb" Depends)"
done
cli_deb=$(printf '%s\n' "${debs[@]}" | grep /kivo-dbupdate-cli_)
if dpkg-deb -f "$cli_deb" Depends | grep -qi qt; then
  echo "package test: the companion's package depends on Qt" >&2
  exit 1
fi

# lintian's only word on stderr as root is that it runs as root.
findings=$(lintian "${debs[@]}" 2> >(grep -v '^running with root privileges' >&2)) ||
  { echo "package test: lintian failed: $findings" >&2; exit 1; }
[[ -z $findings ]] || { printf 'package test: lintian:\n%s\n' "$findings" >&2; exit 1; }
echo "lintian: no finding"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$unpacked"; done
hardening=()
# Debian 12's C library start files carry no CET marking, which the linker then drops from
# every program; where they carry it, so must ours.
readelf -n "$(g++ -print-file-name=Scrt1.o)" | grep -q 'x86 feature: IBT, SHSTK' ||
  hardening+=(--nocfprotection)
hardening-check "${hardening[@]}" "$unpacked/usr/bin/kivo-dbupdate-cli"
# The window makes no libc call whose bound is unknown at compile time, so _FORTIFY_SOURCE has
# nothing to replace in it: the case hardening-check's manual calls a false alarm.
hardening-check "${hardening[@]}" --nofortify "$unpacked/usr/bin/kivo-dbupdate"
rm -rf "$unpacked"

remove() { "${apt[@]}" purge kivo-dbupdate kivo-dbupdate-cli >/dev/null || true; }
trap remove EXIT
"${apt[@]}" install "${debs[@]}" >/dev/null

problems=()
ldd /usr/bin/kivo-dbupdate | grep -q 'not found' && problems+=("the window misses libraries")
desktop-file-validate /usr/share/applications/kivo-dbupdate.desktop ||
  problems+=("the desktop entry is not valid")
[[ -f /usr/share/pixmaps/kivo-dbupdate.xpm ]] || problems+=("the icon is missing")
if [[ -f docs/kivo-dbupdate-cli.1 ]]; then
  dpkg -L kivo-dbupdate-cli | grep -q '/man1/kivo-dbupdate-cli\.1' ||
    problems+=("the companion's manual page is missing")
fi
((${#problems[@]} == 0)) || { printf 'package test: %s\n' "${problems[@]}" >&2; exit 1; }

timeout 120 scripts/demo.sh --cli /usr/bin/kivo-dbupdate-cli --no-window
