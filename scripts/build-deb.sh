#!/usr/bin/env bash
# Builds the Debian package from a copy of the source tree, so that
# debhelper's by-products (debian/gmi-server/, obj-*/, .changes) stay out of
# the working tree, and leaves the package in dist/.
#
#   scripts/build-deb.sh [WORK_DIR]    default build-deb
#
# Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

work=${1:-build-deb}/package
rm -rf "$work"
mkdir -p "$work/gmi-server" dist

# The files git would commit: tracked ones still present, and new ones not
# ignored. Build output in the tree never reaches the package.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do
    [[ -f $file ]] && printf '%s\0' "$file"
  done |
  xargs -0 cp --parents -t "$work/gmi-server"

(cd "$work/gmi-server" &&
  DEB_BUILD_OPTIONS="parallel=${JOBS:-$(nproc)}" dpkg-buildpackage -b -us -uc)

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
deb=gmi-server_${version}_${arch}.deb
rm -f dist/gmi-server_*.deb
cp "$work/$deb" dist/
echo "dist/$deb"
