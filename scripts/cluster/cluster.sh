#!/usr/bin/env bash
# `make cluster` (root): several hosts on one machine, in the foreground.
# Network namespaces gmi-client, gmi-edge1, gmi-edge2, gmi-node1..3 on one
# bridge (198.18.0.0/24, a range set aside for such tests); on each node two
# instances, a companion and the shipped front; on each edge the shipped
# edge HAProxy and keepalived holding the virtual address. Prints the
# virtual address and a working curl line, writes the address to
# run/cluster/vip and touches run/cluster/ready. Ctrl-C or SIGTERM ends every
# process it started (by PID) and removes every namespace it made (by name).
# Usage: scripts/cluster/cluster.sh BUILD_DIR
set -euo pipefail

BUILD=$(cd "${1:?usage: scripts/cluster/cluster.sh BUILD_DIR}" && pwd)
source "$(dirname "$0")/hosts.sh"
[[ $(id -u) -eq 0 ]] || { echo "cluster.sh: network namespaces need root" >&2; exit 2; }

namespaces=(gmi-lan)
for host in "${hosts[@]}"; do namespaces+=("gmi-$host"); done

remove_namespaces() {
  local namespace
  for namespace in "${namespaces[@]}"; do
    ip netns del "$namespace" 2>/dev/null || true
  done
}

# Every process whose PID a start recorded, the keepalived VRRP children
# too: SIGTERM, up to 5 s to end, then SIGKILL.
stop_processes() {
  local pids=() pid file tenths
  for file in "$run"/*/*.pid; do
    [[ -f $file ]] && pid=$(cat "$file") && kill -0 "$pid" 2>/dev/null && pids+=("$pid")
  done
  ((${#pids[@]} > 0)) || return 0
  kill -TERM "${pids[@]}" 2>/dev/null || true
  for ((tenths = 0; tenths < 50; ++tenths)); do
    kill -0 "${pids[@]}" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "${pids[@]}" 2>/dev/null || true
}

sleeper=
tear_down() {
  trap - INT TERM EXIT
  echo "Stopping the cluster."
  # It would outlive the script, holding whatever descriptors it was
  # given (a caller's lock among them).
  [[ -z $sleeper ]] || kill "$sleeper" 2>/dev/null || true
  stop_processes
  remove_namespaces
  rm -f "$run/ready"
  exit 0
}

build_network() {
  ip netns add gmi-lan
  ip -n gmi-lan link add br0 type bridge
  ip -n gmi-lan link set br0 up
  for host in "${hosts[@]}"; do
    ip netns add "gmi-$host"
    ip -n gmi-lan link add "$host" type veth peer name eth0 netns "gmi-$host"
    ip -n gmi-lan link set "$host" master br0 up
    ip -n "gmi-$host" addr add "${address[$host]}/24" dev eth0
    ip -n "gmi-$host" link set eth0 up
    ip -n "gmi-$host" link set lo up
  done
}

start_node() {  # host
  local port
  cp "$BUILD/libAuthSrv.so" "$run/$1/"
  {
    echo "# Written by scripts/cluster/cluster.sh."
    echo "backend gmi-instances from gmi"
    for port in "${instance_ports[@]}"; do echo "    server gmi-$port 127.0.0.1:$port"; done
  } >"$run/$1/gmi-instances.cfg"
  for port in "${instance_ports[@]}"; do start_instance "$1" "$port"; done
  start_front "$1"
  start_companion "$1"
}

start_edge() {  # host
  cp "$root/deploy/cluster/keepalived.conf" "$run/$1/"
  start_edge_haproxy "$1"
  start_keepalived "$1"
}

token() { env AUTHSRV_KEYS=development "$BUILD/gmi-token" --user alice --ttl 3600; }

# True once a validation through the virtual address succeeds from the client.
answers_through_vip() {
  on client curl -sf -m 2 --cacert "$tls/ca.pem" \
    "https://$vip:$edge_port/login?userid=alice&gmi=$(token)" >/dev/null
}

trap tear_down INT TERM EXIT
remove_namespaces  # left by a run that could not clean up
rm -rf "$run"
for host in "${hosts[@]}"; do mkdir -p "$run/$host"; done
# The clients reach the fronts through the virtual address, the operators
# each node by its own.
names="IP:$vip"
for node in "${nodes[@]}"; do names+=",IP:${address[$node]}"; done
DEV_CERT_NAMES=$names "$root/scripts/dev-certs.sh" "$tls"

build_network
for node in "${nodes[@]}"; do start_node "$node"; done
for edge in "${edges[@]}"; do start_edge "$edge"; done

# Up once the edge of higher priority (edge1) holds the address and answers
# through it, five times in a row: edge2 may claim it first and give it up
# when edge1 takes it back, resetting every connection a load opened
# meanwhile, and one answer in the middle of that move proves nothing.
settled() { holds_alone edge1 && answers_through_vip; }
in_a_row=0
for ((tenths = 0; tenths < 300 && in_a_row < 5; ++tenths)); do
  if settled; then in_a_row=$((in_a_row + 1)); else in_a_row=0; fi
  sleep 0.1
done
((in_a_row == 5)) || { echo "cluster.sh: no steady answer through $vip held by edge1 after 30 s" >&2; exit 1; }
echo "$vip" >"$run/vip"
touch "$run/ready"

cat <<EOF
Cluster up: virtual address $vip (held by $(active_edge)), edges ${address[edge1]} and ${address[edge2]},
nodes ${address[node1]} ${address[node2]} ${address[node3]}; logs in run/cluster/HOST/.
  ip netns exec gmi-client curl --cacert $tls/ca.pem "https://$vip:$edge_port/login?userid=alice&gmi=\$(AUTHSRV_KEYS=development $BUILD/gmi-token --user alice --ttl 3600)"
Ctrl-C stops it all.
EOF
sleep infinity &
sleeper=$!
wait "$sleeper" || true
