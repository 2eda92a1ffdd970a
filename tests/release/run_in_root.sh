#!/bin/bash
# Runs a command on another Debian release: a minimal root of it, bootstrapped once and kept in
# CACHE, with this checkout copied to /src. The root is a machine of its own as far as the tests
# can tell: its own /dev (no serial node of the host's), proc, sys, a devpts instance of its own,
# and / a mount point so that the tests' own mount namespaces work.
#   run_in_root.sh RELEASE CACHE COMMAND...
# Builds made under /src stay in the root between runs. Exit code 77: not root.
set -euo pipefail
release=$1
cache=$2
shift 2
root="$cache/debian-$release"
src=$(cd "$(dirname "$0")/../.." && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: a Debian $release root needs root" >&2; exit 77; }

if [ ! -f "$root/.bootstrapped" ]; then
    # The host's Debian mirror, as apt is configured here.
    mirror=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\/*\)$/\1/p' /etc/apt/sources.list.d/*.sources \
        2>/dev/null | head -n 1 || true)
    : "${mirror:=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null)}"
    : "${mirror:=http://deb.debian.org/debian}"
    rm -rf --one-file-system "$root"
    mkdir -p "$cache"
    echo "== bootstrapping Debian $release from $mirror into $root"
    debootstrap --variant=minbase --include=make,git,ca-certificates "$release" "$root" "$mirror" \
        >"$cache/debootstrap-$release.log" 2>&1 ||
        fail "debootstrap: $(tail -n 20 "$cache/debootstrap-$release.log")"
    touch "$root/.bootstrapped"
fi

# The checkout as it stands, committed or not; what it no longer has goes, the builds stay.
# Only files whose content changed are written, and then with the time of writing: the
# checkout's own times may be older than a build made from an earlier copy.
echo "== copying $src to $root/src"
stage="$root/src.new"
rm -rf --one-file-system "$stage"
mkdir -p "$stage" "$root/src"
git -C "$src" ls-files -z --cached --others --exclude-standard |
    (cd "$src" && tar --null --no-recursion --ignore-failed-read -T - -cf -) | tar -C "$stage" -xf -
(cd "$stage" && find . -type f -print0) | while IFS= read -r -d '' file; do
    cmp -s "$stage/$file" "$root/src/$file" ||
        { mkdir -p "$(dirname "$root/src/$file")" && cp -f "$stage/$file" "$root/src/$file"; }
done
(cd "$root/src" && find . -path ./build\* -prune -o -type f -print0) | while IFS= read -r -d '' file; do
    [ -e "$stage/$file" ] || rm -f "$root/src/$file"
done
rm -rf --one-file-system "$stage"

# Everything mounted here goes with the namespace, however the command ends.
exec unshare --mount --pid --fork --propagation private bash -euo pipefail -c '
root=$1; shift
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount -t sysfs -o ro sys "$root/sys"
mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 666 "$root/dev/$name" c "$major" "$minor"
done
# A console to nowhere: on this machine the console is the first serial port.
touch "$root/dev/console"
mount --bind /dev/null "$root/dev/console"
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
mount -t tmpfs -o mode=755 run "$root/run"
mkdir -m 1777 "$root/run/lock"
# As a fresh machine starts it: no locale, none of the host'\''s environment.
exec chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root TERM=dumb DEBIAN_FRONTEND=noninteractive bash -c "cd /src && exec \"\$@\"" - "$@"
' - "$root" "$@"
