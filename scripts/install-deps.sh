#!/usr/bin/env bash
# Installs, with apt-get, whichever of the build, test and benchmark packages
# this machine lacks. Safe to run again: it does nothing when all are present.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libcpp-httplib-dev libssl-dev
  libgtest-dev libbenchmark-dev
  wrk nginx-light curl
)

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "Installing missing packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
