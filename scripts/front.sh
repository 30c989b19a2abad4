#!/usr/bin/env bash
# `make front`: the production shape on one machine, in the foreground.
# HAProxy with the shipped deploy/haproxy/gmi-server.cfg (plain HTTP on
# loopback FRONT_PORT, HTTPS and HTTP/2 on FRONT_TLS_PORT, the admin
# listener on FRONT_ADMIN_PORT, metrics on FRONT_METRICS_PORT), in front of
# INSTANCES gmi-server instances on consecutive ports from BASE_PORT, all
# in run/front/ beside the stand-in library. Development certificates are
# created in run/front/tls/ when missing (scripts/dev-certs.sh). Ctrl-C or
# SIGTERM stops HAProxy and ends every instance through /quit.
# Usage: scripts/front.sh BUILD_DIR
#
# FRONT_PORT          plain HTTP port (default 60080)
# FRONT_TLS_PORT      HTTPS port (default 60443)
# FRONT_ADMIN_PORT    admin listener port (default 60444)
# FRONT_METRICS_PORT  Prometheus exporter port (default 60081)
# INSTANCES           how many instances (default 2)
# BASE_PORT           port of the first instance (default 60002)
set -euo pipefail

build=$(cd "${1:?usage: scripts/front.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
export FRONT_PORT=${FRONT_PORT:-60080}
export FRONT_TLS_PORT=${FRONT_TLS_PORT:-60443}
export FRONT_ADMIN_PORT=${FRONT_ADMIN_PORT:-60444}
export FRONT_METRICS_PORT=${FRONT_METRICS_PORT:-60081}
export FRONT_EDGE_PORT=${FRONT_EDGE_PORT:-60445}
# The public development key, unless the caller brings keys of its own.
export AUTHSRV_KEYS=${AUTHSRV_KEYS:-development}
instances=${INSTANCES:-2}
base_port=${BASE_PORT:-60002}
run=$root/run/front
tls=$run/tls
export FRONT_ADMIN_SOCKET=$run/admin.sock
export GMI_INSTANCES=$run/gmi-instances.cfg
export FRONT_CERT=$tls/server.pem FRONT_ADMIN_CA=$tls/ca.pem
export FRONT_LUA=$root/deploy/haproxy/gmi-instance-address.lua

ports=()
for (( i = 0; i < instances; i++ )); do ports+=($(( base_port + i ))); done

mkdir -p "$run"
cp "$build/libAuthSrv.so" "$run/"
"$root/scripts/dev-certs.sh" "$tls"
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

# Only root can hand HAProxy's worker to the haproxy user.
[[ $(id -u) == 0 ]] || export FRONT_KEEP_USER=1
haproxy -f "$root/deploy/haproxy/gmi-server.cfg" -f "$GMI_INSTANCES" &
haproxy_pid=$!

token="\$(AUTHSRV_KEYS=development $build/gmi-token --user alice --ttl 3600)"
cat <<EOF
Front: HTTP on 127.0.0.1:$FRONT_PORT, HTTPS and HTTP/2 on $FRONT_TLS_PORT, admin listener on
$FRONT_ADMIN_PORT, metrics on 127.0.0.1:$FRONT_METRICS_PORT; instances on ${ports[*]} (consoles and
development certificates in run/front/).
  curl "http://127.0.0.1:$FRONT_PORT/login?userid=alice&gmi=$token"
  curl --cacert $tls/ca.pem "https://localhost:$FRONT_TLS_PORT/login?userid=alice&gmi=$token"
  curl --cacert $tls/ca.pem --cert $tls/operator.pem https://localhost:$FRONT_ADMIN_PORT/gmi-${ports[0]}/log
  FRONT_ADMIN_SOCKET=$FRONT_ADMIN_SOCKET GMI_INSTANCES=$GMI_INSTANCES fleet/gmi-fleet log
  FLEET_ADMIN=127.0.0.1:$FRONT_ADMIN_PORT FLEET_CA=$tls/ca.pem FLEET_CLIENT_CERT=$tls/operator.pem \\
    GMI_INSTANCES=$GMI_INSTANCES fleet/gmi-fleet log
Ctrl-C stops them all.
EOF
# Returns when HAProxy ends, or at once when a signal arrives.
wait "$haproxy_pid" || true
stop_haproxy
for port in "${ports[@]}"; do
  curl -s -m 5 "http://127.0.0.1:$port/quit" >/dev/null || true
done
wait
