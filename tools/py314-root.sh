#!/bin/sh
# A Debian unstable root with CPython 3.14 and g++ 16, built once into a cache, to run a command in.
#
#   sh tools/py314-root.sh CACHE_DIR [COMMAND ARG...]
#
# Run as root on a Debian host. The first call builds CACHE_DIR/root with mmdebstrap (installed
# when missing); later calls reuse it while its package list is unchanged. With a COMMAND, runs it
# inside the root with /proc mounted and, when SRC is set, SRC bind-mounted at /src (the command
# starts in /src). Both mounts live in a private mount namespace, so they vanish when it exits.
# The root holds python3 (3.14) with NumPy 2, pytest, hypothesis, pip, venv, scikit-build-core
# and ASE, and g++, cmake, ninja, GoogleTest, zstd, lz4 and pkg-config: all that `make test` needs.
set -eu

cache="${1:?usage: py314-root.sh CACHE_DIR [COMMAND ARG...]}"
shift
root="$cache/root"
packages="python3,python3-dev,python3-numpy,python3-numpy-dev,python3-pytest,python3-hypothesis"
packages="$packages,python3-pip,python3-venv,python3-scikit-build-core,python3-ase"
packages="$packages,g++,cmake,ninja-build,libzstd-dev,liblz4-dev,libgtest-dev,pkg-config"
# The stamp names the package list, so changing the list rebuilds the root instead of reusing it.
stamp="$(printf '%s' "$packages" | sha256sum | cut -c1-16)"

# The host's own Debian mirror (not its security mirror), from deb822 or one-line sources.
mirror="$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)"
if [ -z "$mirror" ]; then
  mirror="$(awk '/^deb / && $0 !~ /security/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)"
fi
mirror="${mirror:-http://deb.debian.org/debian}"

started="$(date +%s)"
mkdir -p "$cache"
# Two runs at once (make -j, two checkouts) share one cache: one builds, the other waits for it.
exec 9>"$cache/.lock"
flock 9
if [ "$(cat "$root/.stamp" 2>/dev/null || true)" != "$stamp" ]; then
  if ! command -v mmdebstrap >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
  fi
  # Built beside its final place and renamed, so an interrupted build never looks finished.
  rm -rf --one-file-system "$root" "$root.tmp"
  # Release files are checked against the host's debian-archive-keyring, whose keys also sign sid.
  # Check-Valid-Until is off because a snapshot mirror serves Release files past their date.
  mmdebstrap --quiet --mode=root --variant=minbase --include="$packages" \
    --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='APT::Install-Recommends "false"' \
    sid "$root.tmp" "$mirror"
  echo "$stamp" >"$root.tmp/.stamp"
  mv "$root.tmp" "$root"
  echo "py314-root: built $root in $(( $(date +%s) - started ))s ($(du -sh "$root" | cut -f1))"
else
  echo "py314-root: using $root"
fi
flock -u 9
chroot "$root" python3 -c 'import sys, numpy; print("py314-root: python", sys.version.split()[0], "numpy", numpy.__version__)'
chroot "$root" g++ --version | sed -n '1s/^/py314-root: /p'

[ "$#" -gt 0 ] || exit 0
mkdir -p "$root/src"
ROOT="$root" SRC="${SRC:-}" unshare --mount --propagation private sh -ec '
  mount -t proc proc "$ROOT/proc"
  if [ -n "$SRC" ]; then mount --bind "$SRC" "$ROOT/src"; fi
  exec chroot "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    sh -c "cd /src && exec \"\$@\"" sh "$@"' sh "$@"
