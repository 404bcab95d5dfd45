#!/bin/sh
# Runs a command as a newcomer would on a fresh machine of a Debian release: in a chroot made from a
# minimal base of that release (make is all it adds), with a clean clone of this checkout's HEAD in
# /root/dancer. The command installs whatever else it needs itself.
#   tools/fresh-root.sh trixie make test
#   tools/fresh-root.sh testing make run
# As root. The bases are cached in $DANCER_ROOTS (each made once with debootstrap, kept as a tarball,
# with the packages apt downloads); the root itself is thrown away, and whatever was mounted in it is
# unmounted, however the command ends.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 RELEASE COMMAND..." >&2; exit 2; }
release=$1
shift
cache=${DANCER_ROOTS:-/var/cache/dancer-roots}
checkout=$(cd "$(dirname "$0")/.." && pwd)
base=$cache/$release.tar
started=$(date +%s)

# The Debian archive this machine's apt uses for its own release, and its proxy if it has one: the
# roots follow the machine's configuration (a local mirror, a proxy) and the project names no host.
mirror_of_this_machine() {
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null |
    awk -v release="$codename" '$2 == release && $3 == "main" { print $1; exit }'
}
eval "$(apt-config shell http_proxy Acquire::http::Proxy)"
[ -z "${http_proxy:-}" ] || export http_proxy

if [ ! -f "$base" ]; then
  mirror=${DEBIAN_MIRROR:-$(mirror_of_this_machine)}
  [ -n "$mirror" ] || { echo "fresh-root: no Debian archive in apt's sources; set DEBIAN_MIRROR" >&2; exit 1; }
  command -v debootstrap >/dev/null ||
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends debootstrap >/dev/null; }
  mkdir -p "$cache"
  made=$(mktemp -d "$cache/$release.XXXXXX")
  echo "fresh-root: making a minimal $release base (once)"
  debootstrap --variant=minbase --include=make "$release" "$made" "$mirror" >"$made.log" 2>&1 ||
    { tail -n 20 "$made.log" >&2; rm -rf "$made" "$made.log"; exit 1; }
  # A mirror that is a snapshot of the past serves Release files whose Valid-Until has gone by
  # (testing's lasts a week); apt would then refuse to update at all.
  echo 'Acquire::Check-Valid-Until "false";' >"$made/etc/apt/apt.conf.d/99dancer-snapshot"
  rm -rf "$made/var/cache/apt/archives"/*.deb "$made/var/lib/apt/lists"/*_Packages
  tar -C "$made" -cf "$base.part" . && mv "$base.part" "$base"
  rm -rf "$made" "$made.log"
fi

root=$(mktemp -d /var/tmp/dancer-root-"$release".XXXXXX)
cleanup() {
  # Whatever the command left running in there (a server a test started) goes first.
  for proc in /proc/[0-9]*; do
    if [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ]; then
      kill -9 "${proc#/proc/}" 2>/dev/null || true
    fi
  done
  # Deepest first, so that nothing mounted inside another mount holds it busy.
  grep -o " $root/[^ ]*" /proc/mounts | sort -r | while read -r point; do
    umount -l "$point" || true
  done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

tar -C "$root" -xf "$base"
chmod 755 "$root"  # mktemp made it private, but it is / in there: everyone must be able to enter it
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet "$checkout" "$root/root/dancer"
mkdir -p "$cache/$release-archives"
mount --bind "$cache/$release-archives" "$root/var/cache/apt/archives"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
[ -z "${http_proxy:-}" ] || echo "Acquire::http::Proxy \"$http_proxy\";" >"$root/etc/apt/apt.conf.d/99dancer-proxy"

status=0
chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  sh -c 'cd /root/dancer && exec "$@"' sh "$@" || status=$?
echo "fresh-root: '$*' in a fresh $release root: exit $status after $(($(date +%s) - started)) s"
exit $status
