# Sourced by cluster.sh and scenarios.sh: the simulated hosts, their
# addresses, and how each of their processes starts, so that a scenario
# starts a process again exactly as the cluster first did.
#
# Every host is a network namespace named gmi-HOST; one more, gmi-lan,
# holds the bridge they all hang on, so nothing touches this machine's own
# network. Each process runs in a session of its own, its PID in
# run/cluster/HOST/NAME.pid and its output in run/cluster/HOST/NAME.log.
# Needs: root (BUILD set to the build directory).

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
run=$root/run/cluster
tls=$run/tls

declare -A address=(
  [client]=198.18.0.10
  [edge1]=198.18.0.2 [edge2]=198.18.0.3
  [node1]=198.18.0.11 [node2]=198.18.0.12 [node3]=198.18.0.13
)
hosts=(client edge1 edge2 node1 node2 node3)
edges=(edge1 edge2)
nodes=(node1 node2 node3)
# keepalived.conf's $VIRTUAL_ADDRESS.
vip=198.18.0.100
# Each node: two instances three ports apart (the companion of the first
# answers on 60003 and 60004), and its front's listeners.
instance_ports=(60002 60005)
front_port=60080
front_admin_port=60444
front_edge_port=60445
# gmi-edge.cfg's EDGE_PORT.
edge_port=60443

# Runs "$@" on host $1.
on() { ip netns exec "gmi-$1" "${@:2}"; }

# Starts "$@" on host $1 as process $2, in the background.
start() {
  local host=$1 name=$2
  shift 2
  (cd "$run/$host" && exec setsid ip netns exec "gmi-$host" "$@" >>"$name.log" 2>&1) &
  echo "$!" >"$run/$host/$name.pid"
}

pid_of() { cat "$run/$1/$2.pid"; }

# Sends signal $3 to process $2 of host $1, if it runs.
signal() { kill "-$3" "$(pid_of "$1" "$2")" 2>/dev/null || true; }

start_instance() {  # host, port
  start "$1" "gmi-$2" env AUTHSRV_KEYS=development "$BUILD/gmi-server" "$2"
}

# Decisions through the host's front; metrics from the first instance.
start_companion() {  # host
  start "$1" gmi-authz "$BUILD/gmi-authz" --upstream "127.0.0.1:${instance_ports[0]}" \
    --front "127.0.0.1:$front_port"
}

# The shipped front: plain HTTP and its own HTTPS on loopback, the admin
# and edge listeners on the host's address.
start_front() {  # host
  start "$1" front env FRONT_ADDR=127.0.0.1 FRONT_PORT=$front_port \
    FRONT_TLS_ADDR=127.0.0.1 FRONT_ADMIN_ADDR="${address[$1]}" FRONT_ADMIN_PORT=$front_admin_port \
    FRONT_EDGE_ADDR="${address[$1]}" FRONT_EDGE_PORT=$front_edge_port \
    FRONT_CERT="$tls/server.pem" FRONT_ADMIN_CA="$tls/ca.pem" \
    FRONT_LUA="$root/deploy/haproxy/gmi-instance-address.lua" \
    FRONT_ADMIN_SOCKET="$run/$1/admin.sock" \
    haproxy -f "$root/deploy/haproxy/gmi-server.cfg" -f "$run/$1/gmi-instances.cfg"
}

start_edge_haproxy() {  # host
  start "$1" haproxy env EDGE_ADMIN_SOCKET="$run/$1/admin.sock" EDGE_CHECK_CA="$tls/ca.pem" \
    haproxy -f "$root/deploy/cluster/gmi-edge.cfg" -f "$root/deploy/cluster/gmi-nodes.cfg"
}

# From the host's copy of keepalived.conf, which a scenario may change.
# keepalived forks its VRRP process, whose PID it writes to vrrp.pid.
start_keepalived() {  # host
  start "$1" keepalived keepalived --vrrp --dont-fork --log-console --log-detail \
    -f "$run/$1/keepalived.conf" -i "$1" \
    -p "$run/$1/keepalived-main.pid" -r "$run/$1/vrrp.pid"
}

# The runtime API of a front (on a node) or of an edge's HAProxy.
runtime_api() {  # host, command
  echo "$2" | socat -t 5 stdio "unix-connect:$run/$1/admin.sock"
}

# The edge holding the virtual address, or nothing.
active_edge() {
  local edge
  for edge in "${edges[@]}"; do
    holds_address "$edge" && echo "$edge"
  done
  return 0
}
# Read whole, not piped to grep -q: under pipefail, ip ended by SIGPIPE
# once grep has its line would make a holder look like none.
holds_address() { [[ $(on "$1" ip -o addr show dev eth0) == *" $vip/"* ]]; }
# Edge $1 holds the address and the other does not.
holds_alone() { [[ $(active_edge) == "$1" ]]; }
