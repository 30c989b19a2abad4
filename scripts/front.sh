#!/usr/bin/env bash
# `make front`: the production shape on one machine, in the foreground.
# HAProxy with the shipped deploy/haproxy/gmi-server.cfg on FRONT_PORT, in
# front of INSTANCES gmi-server instances on consecutive ports from
# BASE_PORT, all in run/front/ beside the stand-in library. Ctrl-C or
# SIGTERM stops HAProxy and ends every instance through /quit.
# Usage: scripts/front.sh BUILD_DIR
#
# FRONT_PORT  port clients connect to (default 60080)
# INSTANCES   how many instances (default 2)
# BASE_PORT   port of the first instance (default 60002)
set -euo pipefail

build=$(cd "${1:?usage: scripts/front.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
export FRONT_PORT=${FRONT_PORT:-60080}
# The public development key, unless the caller brings keys of its own.
export AUTHSRV_KEYS=${AUTHSRV_KEYS:-development}
instances=${INSTANCES:-2}
base_port=${BASE_PORT:-60002}
run=$root/run/front
export FRONT_ADMIN_SOCKET=$run/admin.sock
export GMI_INSTANCES=$run/gmi-instances.cfg

ports=()
for (( i = 0; i < instances; i++ )); do ports+=($(( base_port + i ))); done

mkdir -p "$run"
cp "$build/libAuthSrv.so" "$run/"
{
  echo "# Written by scripts/front.sh for make front."
  echo "backend gmi-instances from gmi"
  for port in "${ports[@]}"; do echo "    server gmi-$port 127.0.0.1:$port"; done
} >"$GMI_INSTANCES"

haproxy_pid=
stop_haproxy() { [[ -z $haproxy_pid ]] || kill "$haproxy_pid" 2>/dev/null || true; }
trap stop_haproxy INT TERM

# Each instance in a session of its own: Ctrl-C reaches only this script
# and HAProxy, and the instances end through /quit, as in production.
for port in "${ports[@]}"; do
  (cd "$run" && exec setsid "$build/gmi-server" "$port" >>"console-$port.log") &
done

haproxy -f "$root/deploy/haproxy/gmi-server.cfg" -f "$GMI_INSTANCES" &
haproxy_pid=$!

cat <<EOF
Front on port $FRONT_PORT, instances on ${ports[*]} (consoles in run/front/).
  curl "http://127.0.0.1:$FRONT_PORT/login?userid=alice&gmi=\$(AUTHSRV_KEYS=development $build/gmi-token --user alice --ttl 3600)"
  FRONT_ADMIN_SOCKET=$FRONT_ADMIN_SOCKET GMI_INSTANCES=$GMI_INSTANCES deploy/gmi-fleet log
Ctrl-C stops them all.
EOF
# Returns when HAProxy ends, or at once when a signal arrives.
wait "$haproxy_pid" || true
stop_haproxy
for port in "${ports[@]}"; do
  curl -s -m 5 "http://127.0.0.1:$port/quit" >/dev/null || true
done
wait
