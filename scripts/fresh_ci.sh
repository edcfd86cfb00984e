#!/usr/bin/env bash
# Runs .ci/run as CI does, but on a machine that has nothing yet: a clean clone of HEAD (what is
# committed, not the work tree) in a new minimal Debian 12 root, ../shared copied beside it
# without write bits, as root with CI=true and no standard input. A green .ci/run on a
# well-stocked machine hides a missing install step; this does not. Prints how long each part
# took and the test summary; exits with .ci/run's status.
# Usage: scripts/fresh_ci.sh   (as root; 15-20 minutes on 2 cores)
#   KIVO_FRESH_CI_DIR     where the debootstrap tarball, the roots and the logs go
#                         (default /var/tmp/kivo-fresh-ci)
#   KIVO_FRESH_CI_KEEP=1  keep the root afterwards, to look around in it
#   KIVO_FRESH_CI_MIRROR  the Debian archive for debootstrap (default: the host's bookworm one)
set -euo pipefail
umask 022
[[ $(id -u) -eq 0 ]] || { echo "fresh_ci: run as root (debootstrap, chroot and mount need it)" >&2; exit 1; }

repo=$(cd "$(dirname "$0")/.." && pwd -P)
shared="$repo/../shared"
suite=bookworm
mkdir -p "${KIVO_FRESH_CI_DIR:-/var/tmp/kivo-fresh-ci}"
work=$(cd "${KIVO_FRESH_CI_DIR:-/var/tmp/kivo-fresh-ci}" && pwd -P)
took() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
say() { echo "fresh_ci: $*"; }

for tool in debootstrap git; do
  command -v "$tool" >/dev/null && continue
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap git
  break
done
[[ -z $(git -C "$repo" status --porcelain) ]] || say "uncommitted changes are not in the clone"

# shellcheck disable=SC2016 # apt-get expands $(...) in its format itself
mirror=${KIVO_FRESH_CI_MIRROR:-$(apt-get indextargets --format '$(CODENAME) $(REPO_URI)' |
  awk -v s="$suite" '$1 == s {print $2; exit}')}
mirror=${mirror:-http://deb.debian.org/debian/}

# The root is new each run; only the packages debootstrap fetches are kept, for a week.
tarball="$work/$suite-minbase.tgz"
find "$tarball" -mtime +7 -delete 2>/dev/null || true
root=$(mktemp -d "$work/root.XXXXXX")
log="$root.log"
mounted=()

# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  local status=$? p i
  trap - EXIT INT TERM HUP
  # What still runs in the root (a server a test left behind) would keep its mounts busy.
  for p in /proc/[0-9]*; do
    if [[ $(readlink "$p/root" 2>/dev/null) == "$root" ]]; then kill -KILL "${p#/proc/}" 2>/dev/null || true; fi
  done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount --lazy "${mounted[i]}" 2>/dev/null || true
  done
  if awk '{print $5}' /proc/self/mountinfo | grep -q "^$root/"; then
    say "something is still mounted under $root; left in place" >&2
  elif [[ "${KIVO_FRESH_CI_KEEP:-}" == 1 ]]; then
    say "the root stays in $root"
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

started=$SECONDS
if [[ ! -s "$tarball" ]]; then
  say "fetching a minimal $suite from $mirror"
  debootstrap --variant=minbase --make-tarball="$tarball.$$" "$suite" "$root" "$mirror" >/dev/null
  mv "$tarball.$$" "$tarball"
  rm -rf --one-file-system "$root" && mkdir "$root"
fi
say "debootstrap into $root"
debootstrap --variant=minbase --unpack-tarball="$tarball" "$suite" "$root" "$mirror" >/dev/null
debootstrap_time=$((SECONDS - started))
chmod 755 "$root" # mktemp's 700 would shut out apt's unprivileged downloader

# apt inside works as on the host: its package sources and keys, name resolution.
rm -f "$root/etc/apt/sources.list"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
  /etc/apt/trusted.gpg /etc/apt/trusted.gpg.d/* /etc/apt/keyrings/*; do
  [[ -f "$f" ]] && install -D -m 644 "$f" "$root$f"
done
cp -L /etc/resolv.conf /etc/hosts "$root/etc/"
# As in any chroot: packages must not start services that would outlive the run.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

for m in proc sys dev dev/pts dev/shm; do
  mounted+=("$root/$m")
  mount --bind "/$m" "$root/$m"
done

mkdir -p "$root/ci"
git clone -q --no-checkout "$repo" "$root/ci/kivo-dbupdate"
git -C "$root/ci/kivo-dbupdate" checkout -q --detach "$(git -C "$repo" rev-parse HEAD)"
if [[ -d "$shared" ]]; then
  cp -a "$shared" "$root/ci/shared"
  chmod -R a-w "$root/ci/shared"
else
  say "no $shared to copy beside the clone" >&2
fi

say "running .ci/run on $(git -C "$repo" log -1 --format='%h %s'); log in $log"
ci_started=$SECONDS
status=0
# In the background, so that a TERM or HUP sent to this script runs the cleanup at once: bash
# holds a trap until a foreground command ends, and wait is interrupted instead.
(chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  CI=true ${LANG:+LANG=$LANG} /bin/bash -c 'cd /ci/kivo-dbupdate && exec bash .ci/run' \
  </dev/null 2>&1 | tee "$log") &
wait "$!" || status=$?
ci_time=$((SECONDS - ci_started))

echo
say "debootstrap $(took "$debootstrap_time"), .ci/run $(took "$ci_time"), total $(took "$SECONDS")"
grep -E '^== (packages installed in|durations:)' "$log" | sed 's/^== /fresh_ci: /' || true
say "$(grep -E '% tests passed, ' "$log" | tail -n 1 || echo 'no test summary')"
say ".ci/run exit status $status"
exit "$status"
