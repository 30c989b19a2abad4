#!/usr/bin/env bash
# `make check-systemd`: the Debian package under a real, booted systemd.
# Builds the package, boots Debian 12 in a container (scripts/check-systemd/
# container.sh; its root is made once and cached), installs the package
# there and checks what an operator relies on: the units as the README
# enables them (scripts/check-systemd/units.sh), then the HAProxy front
# from Debian's haproxy package with a rolling restart under load
# (scripts/check-systemd/front.sh).
#
# Run as root (it boots a container and makes a veth). Every check is
# counted; a failed one is reported and the run goes on where it can. The
# container is powered off and the veth removed however the run ends. The
# last line says how many checks passed and failed; the exit status is 0
# only when none failed.
set -Eeuo pipefail
cd "$(dirname "$0")/.."

# What the container holds besides the package's own dependencies: systemd
# to boot, curl and socat for the checks and gmi-fleet, Debian's haproxy.
container_packages=(systemd systemd-sysv dbus curl socat haproxy)

work=$(mktemp -d /tmp/gmi-check-systemd.XXXXXX)
run_start=$EPOCHREALTIME
step_start=$EPOCHREALTIME
passed=0
failed=0

source scripts/check-systemd/container.sh
source scripts/check-systemd/units.sh
source scripts/check-systemd/front.sh

# A failure that leaves nothing further to check. To stderr, so that a
# failure inside $(...) is seen, not captured.
fail() {
  echo "check-systemd: FAILED: $*" >&2
  exit 1
}

clean_up() {
  container_teardown
  rm -rf "$work"
}
trap clean_up EXIT
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

seconds_since() {
  awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'
}

step() {
  echo "== $* (previous step $(seconds_since "$step_start") s, run $(seconds_since "$run_start") s)"
  step_start=$EPOCHREALTIME
}

# expect WHAT COMMAND...: one counted check. The command explains its own
# failure on stderr.
expect() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}

# Polls COMMAND... every tenth of a second for up to $1 seconds.
wait_until() {
  local tenths=$(($1 * 10))
  shift
  until "$@" >/dev/null 2>&1; do
    ((--tenths > 0)) || return 1
    sleep 0.1
  done
}

# The package's run-time dependencies, first alternatives, without versions.
package_dependencies() {
  dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep .
}

[[ $(id -u) -eq 0 ]] || fail "run as root: it boots a container and makes a veth"
scripts/install-deps.sh check-systemd

step "make deb"
make --no-print-directory deb >"$work/make-deb.log" 2>&1 || fail "make deb: $(tail -n 20 "$work/make-deb.log")"
deb=$(tail -n 1 "$work/make-deb.log")
[[ -f $deb ]] || fail "make deb did not leave a package (last line: $deb)"
echo "$deb"

step "the container's root"
mapfile -t dependencies < <(package_dependencies "$deb")
root=$(container_root "${container_packages[@]}" "${dependencies[@]}")
echo "$root: ${container_packages[*]} ${dependencies[*]}"

step "boot"
container_boot "$root" "$work/nspawn.log"
echo "systemd runs as PID $container_pid (nspawn $container_nspawn_pid)"

step "install the package"
in_container sh -c 'cat >/root/gmi-server.deb' <"$deb"
in_container dpkg -i /root/gmi-server.deb >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(tail -n 20 "$work/dpkg.log")"
echo "$(in_container dpkg-query -W gmi-server) installed"

check_units
check_front

step "done"
echo "check-systemd: $(seconds_since "$run_start") s in all"
echo "$passed passed, $failed failed"
((failed == 0))
