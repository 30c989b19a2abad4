# The HAProxy front from Debian's haproxy package under the container's
# systemd, for scripts/check-systemd.sh (sourced): enabled as the README says
# in front of gmi-server@60002 and @60005, its worker unprivileged, the
# packaged companion deciding through it, and the README's rolling restart
# under load, with no request failed.

front_ports=(60002 60005)
front_url=http://127.0.0.1:60080
fleet=/usr/share/doc/gmi-server/examples/gmi-fleet
# The command the README gives gmi-fleet restart under systemd.
fleet_start_command='systemctl restart gmi-server@$PORT'

front_admin() {
  in_container sh -c 'echo "$1" | socat -t 5 stdio unix-connect:/run/haproxy/gmi-admin.sock' sh "$1"
}

# The README's steps, the shipped instance list kept: it names 60002, 60005.
enable_front() {
  in_container sh -c 'cp /usr/share/doc/gmi-server/examples/haproxy/*.cfg \
    /usr/share/doc/gmi-server/examples/haproxy/*.lua /etc/haproxy/ &&
    install -d -m 750 -g haproxy /etc/haproxy/gmi-tls'
  # The package ships no certificate: development ones stand in.
  scripts/dev-certs.sh "$work/tls"
  tar -C "$work/tls" -cf - server.pem ca.pem | in_container tar -C /etc/haproxy/gmi-tls -xf -
  in_container sh -c 'cat >>/etc/default/haproxy' <<'EOF'
CONFIG="/etc/haproxy/gmi-server.cfg"
EXTRAOPTS="-S /run/haproxy-master.sock -f /etc/haproxy/gmi-instances.cfg"
EOF
  in_container systemctl enable --quiet --now "${front_ports[@]/#/gmi-server@}"
  in_container systemctl restart haproxy
}

instances_up_at_front() {
  [[ $(front_admin "show servers state gmi-instances" |
    awk '$4 ~ /^gmi-/ && $6 == 2 { up++ } END { print up + 0 }') == "${#front_ports[@]}" ]]
}

front_answers() {
  local token answer
  token=$(in_container sh -c 'set -a; . /etc/default/gmi-server; gmi-token --user alice')
  answer=$(container_get "$front_url/login?userid=alice&gmi=$token")
  same_text "/login through the front" "$valid_body" "$answer"
}

# The packaged gmi-authz@60002 asks through the front once it listens: with
# gmi-server@60002 stopped, gmi-server@60005 decides for it.
companion_decides_through_front() {
  local token answer
  token=$(in_container sh -c 'set -a; . /etc/default/gmi-server; gmi-token --user alice')
  in_container systemctl start gmi-authz@60002
  in_container systemctl stop gmi-server@60002
  answer=$(container_get -o /dev/null -w '%{http_code} %header{x-gmi-user}' \
    -H "Authorization: Bearer $token" -H 'X-GMI-User: alice' http://127.0.0.1:60003/)
  in_container systemctl start gmi-server@60002
  wait_until 10 instances_up_at_front
  same_text "gmi-authz@60002 with gmi-server@60002 stopped" "200 alice" "$answer"
}

# "PID PPID UID" of every haproxy process in the container.
haproxy_processes() {
  in_container sh -c 'for s in /proc/[0-9]*/status; do
    awk "/^Name:/ { n = \$2 } /^Pid:/ { p = \$2 } /^PPid:/ { pp = \$2 } /^Uid:/ { u = \$2 }
      END { if (n == \"haproxy\") print p, pp, u }" "$s" 2>/dev/null; done'
}

# The master re-executes itself on reload and stays root; its workers, which
# serve the traffic, must not.
worker_not_root() {
  local master haproxy_uid workers
  master=$(unit_property haproxy MainPID)
  haproxy_uid=$(in_container id -u haproxy)
  workers=$(haproxy_processes | awk -v m="$master" '$2 == m')
  [[ -n $workers ]] || { echo "  no worker under the master $master" >&2; return 1; }
  echo "  master $master uid $(status_field "$master" Uid); workers (PID, uid): $(awk '{ printf "%s %s; ", $1, $3 }' <<<"$workers")root $(in_container readlink "/proc/${workers%% *}/root")"
  awk -v u="$haproxy_uid" '$3 != u { bad = 1 } END { exit bad }' <<<"$workers" && return 0
  echo "  a worker does not run as haproxy ($haproxy_uid)" >&2
  return 1
}

# Every instance's old process ended with its whole teardown, a new one
# runs, and the fleet said so.
instances_restarted() {  # $1: fleet's output; then "PORT OLD-PID" pairs
  local fleet_output=$1 port pid
  shift
  while (($# > 0)); do
    port=$1 pid=$2
    shift 2
    grep -q "^gmi-$port .* restarted$" <<<"$fleet_output" ||
      { echo "  gmi-fleet did not restart gmi-$port" >&2; return 1; }
    has_line "_PID=$pid" "[Server] Exit" || {
      echo "  gmi-server@$port's process $pid did not end with [Server] Exit; its journal:" >&2
      in_container journalctl -q -o short-precise -u "gmi-server@$port" | tail -n 5 >&2
      in_container journalctl -q -o short-precise | grep -i suppress | tail -n 5 >&2
      return 1
    }
    [[ $(unit_property "gmi-server@$port" ActiveState) == active &&
       $(unit_property "gmi-server@$port" MainPID) != "$pid" ]] ||
      { echo "  gmi-server@$port is not running again" >&2; return 1; }
  done
}

# soak-answers REQUESTS VALID INVALID MISSING UNEXPECTED CONNECT OTHER
no_failed_request() {  # $1: wrk's output
  local requests unexpected connect other
  read -r requests unexpected connect other < <(awk '$1 == "soak-answers" { print $2, $6, $7, $8 }' <<<"$1")
  echo "  $requests requests through the front; $unexpected unexpected answers, $connect connect errors, $other other socket errors"
  grep '^soak-.*unexpected ' <<<"$1" | sed 's/^/    /' || true
  [[ -n $requests ]] && ((requests > 0 && unexpected == 0 && connect == 0 && other == 0)) &&
    return 0
  echo "  what HAProxy said of the instances meanwhile:" >&2
  in_container journalctl -q -o short-precise -u haproxy | grep 'Server ' | sed 's/^/    /' >&2
  return 1
}

# Connections the kernel refused to queue at a full listen backlog, in the
# container's network namespace.
listen_overflows() {
  nsenter -t "$container_pid" -n nstat -asz TcpExtListenOverflows | awk '$1 == "TcpExtListenOverflows" { print $2 }'
}

# 48 connections through the front (bench/soak.lua, from the container's
# network namespace) for as long as gmi-fleet restarts every instance.
rolling_restart_under_load() {
  local token wrk_pid fleet_status=0 wrk_output port old_processes=() start overflows
  for port in "${front_ports[@]}"; do
    old_processes+=("$port" "$(unit_property "gmi-server@$port" MainPID)")
  done
  token=$(in_container sh -c 'set -a; . /etc/default/gmi-server; gmi-token --user alice --ttl 3600')
  overflows=$(listen_overflows)
  nsenter -t "$container_pid" -n wrk -t 2 -c 48 -d 120s --timeout 5s -s bench/soak.lua \
    "$front_url" -- "$token" >"$work/wrk.out" 2>&1 &
  wrk_pid=$!
  sleep 2
  start=$EPOCHREALTIME
  in_container "$fleet" restart sh -c "$fleet_start_command" >"$work/fleet.out" 2>&1 || fleet_status=$?
  echo "  gmi-fleet restart took $(seconds_since "$start") s, status $fleet_status:"
  sed 's/^/    /' "$work/fleet.out"
  sleep 1
  kill -INT "$wrk_pid"
  wait "$wrk_pid" || true
  wrk_output=$(<"$work/wrk.out")
  echo "  $(( $(listen_overflows) - overflows )) connection attempts met a full accept queue (their SYN dropped)"
  expect "gmi-fleet restart exits 0" [ "$fleet_status" = 0 ]
  expect "every instance restarted: teardown, then running again" \
    instances_restarted "$(<"$work/fleet.out")" "${old_processes[@]}"
  expect "no request through the front failed meanwhile" no_failed_request "$wrk_output"
  expect "every instance up at the front afterwards" instances_up_at_front
}

check_front() {
  step "the HAProxy front as the README enables it"
  enable_front
  expect "both instances up at the front" wait_until 10 instances_up_at_front
  expect "a validation through the front" front_answers
  expect "HAProxy's worker is not root" worker_not_root
  expect "gmi-authz@60002 decides through the front" companion_decides_through_front

  step "gmi-fleet restart under load: $fleet_start_command"
  rolling_restart_under_load
  expect "HAProxy's worker is still not root" worker_not_root
}
