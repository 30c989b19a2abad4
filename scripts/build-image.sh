#!/usr/bin/env bash
# build-image.sh BUILD_DIR: the OCI image gmi-server:<version>, made with
# podman from Debian packages and the programs built in BUILD_DIR, without
# any container registry.
#
# The root holds only the shared libraries the programs load, found with
# ldd and mapped to their Debian 12 packages, unpacked by mmdebstrap (no
# shell, no package manager). It is cached in GMI_IMAGE_CACHE (default
# ~/.cache/gmi-server) under a name made from that package list, and
# rebuilt after a week so that security updates come in.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: build-image.sh BUILD_DIR}
version=$(sed -n '1s/^[^(]*(\([0-9.]*\)).*/\1/p' debian/changelog)
image=gmi-server:$version
cache=${GMI_IMAGE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/gmi-server}
programs=(gmi-server gmi-authz gmi-token libAuthSrv.so gmi-server-init)

# The Debian package owning each shared library the programs load (our own
# libAuthSrv.so aside). usrmerge puts /lib in /usr/lib, and dpkg knows each
# file under one of the two names.
runtime_packages() {
  local library package
  for program in "${programs[@]}"; do ldd "$build/$program"; done |
    awk '$3 ~ /^\// && $1 != "libAuthSrv.so" { print $3 } $1 ~ /^\// { print $1 }' |
    sort -u |
    while read -r library; do
      package=$(dpkg-query -S "$library" 2>/dev/null ||
                dpkg-query -S "/usr$library" 2>/dev/null ||
                dpkg-query -S "$(realpath "$library")") ||
        { echo "build-image.sh: no package holds $library" >&2; exit 1; }
      echo "${package%%:*}"
    done | sort -u
}

# Unpacked, not installed: libraries need no maintainer script, and the
# image carries no dpkg to run them. Documentation, locales and iconv's
# modules are dropped; nothing here reads them.
make_root() {
  local packages=$1 tarball=$2 scratch
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' RETURN
  mmdebstrap --quiet --variant=extract --include="$packages" bookworm "$scratch/root"
  rm -rf "$scratch"/root/usr/share/{doc,man,locale,lintian,gdb,gcc} \
         "$scratch"/root/usr/lib/x86_64-linux-gnu/gconv \
         "$scratch"/root/var/cache/apt "$scratch"/root/var/lib/apt
  mkdir -p "$cache"
  tar --numeric-owner -C "$scratch/root" -cf "$tarball.partial" .
  mv "$tarball.partial" "$tarball"
}

packages=$(runtime_packages | paste -sd, -)
root=$cache/root-bookworm-$(sha256sum <<<"$packages" | cut -c1-16).tar
if [[ ! -s $root || -n $(find "$root" -mtime +7) ]]; then
  echo "build-image.sh: making the root from $packages"
  make_root "$packages" "$root"
fi

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
tar -C "$staging" -xf "$root"
DESTDIR="$staging" cmake --install "$build" --prefix /usr --strip >/dev/null
DESTDIR="$staging" cmake --install "$build" --prefix /usr --strip --component container >/dev/null
# The units' stop helper and the documentation belong to the package only.
rm -rf "$staging/usr/share" "$staging/usr/lib/gmi-server/gmi-server-quit"
# Mount points the runtime fills, and the directory for a mounted key file
# (podman cannot create one under /run/secrets on a read-only root): a
# read-only root cannot get them later.
mkdir -p "$staging"/{dev,proc,sys,run,tmp,etc/gmi-server}

# The image this build replaces under the same name, removed after it so
# that rebuilds do not pile up untagged images.
previous=$(podman image inspect --format '{{.Id}}' "$image" 2>/dev/null || true)

# A numeric user that exists nowhere on the host: no passwd file is needed,
# and a Kubernetes runAsNonRoot check can verify it without one.
tar --numeric-owner --owner=0 --group=0 -C "$staging" -c . |
  podman import \
    --change 'USER=10001:10001' \
    --change 'WORKDIR=/usr/lib/gmi-server' \
    --change 'ENTRYPOINT=["/usr/lib/gmi-server/gmi-server-init"]' \
    --change 'CMD=["60002"]' \
    --change 'EXPOSE=60002' \
    --change "LABEL=org.opencontainers.image.title=gmi-server" \
    --change "LABEL=org.opencontainers.image.version=$version" \
    --quiet --message "gmi-server $version" \
    - "$image" >/dev/null
current=$(podman image inspect --format '{{.Id}}' "$image")
if [[ -n $previous && $previous != "$current" ]]; then
  podman rmi "$previous" >/dev/null 2>&1 || true  # still used by a container
fi
size=$(podman image inspect --format '{{.Size}}' "$image")
echo "build-image.sh: $image, $((size / 1024)) KiB ($packages)"
