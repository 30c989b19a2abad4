# The units of the installed package under the container's systemd, for
# scripts/check-systemd.sh (sourced): gmi-server@60002 and gmi-authz@60002
# as the README enables them, what they answer, how they stop, restart and
# stay stopped, and their sandbox seen from the running process.

unit_port=60002
server_unit=gmi-server@$unit_port
authz_unit=gmi-authz@$unit_port
valid_body='{"is_valid":true,"reason":""}'

unit_property() {  # $1: unit, $2: property
  in_container systemctl show -P "$2" "$1"
}

# The [Server] lines the service wrote, in one run of its unit
# (_SYSTEMD_INVOCATION_ID=...) or by one process (_PID=...). A process's
# last lines may reach journald after its unit has started again, and are
# then filed under the new run: a restarted process is found by its PID.
server_lines() {  # $1: journal match
  in_container journalctl -q -o cat "$1" | grep '^\[Server\]' || true
}

has_line() {  # $1: journal match, $2: line
  server_lines "$1" | grep -qxF -- "$2"
}

container_get() {  # $1: URL; further curl arguments follow
  in_container curl -sS -m 5 "$@"
}

same_text() {  # $1: what, $2: expected, $3: actual
  [[ $3 == "$2" ]] || { echo "  $1: expected '$2', got '$3'" >&2; return 1; }
}

units_started() {
  local unit
  for unit in "$server_unit" "$authz_unit"; do
    same_text "$unit" active "$(unit_property "$unit" ActiveState)" || return 1
  done
  wait_until 5 container_get "http://127.0.0.1:$unit_port/log" ||
    { echo "  $server_unit does not answer /log" >&2; return 1; }
}

# Waits up to 2 s from the start for the started line, and says when it came.
started_line_within_2s() {  # $1: journal match, $2: start time
  local line="[Server] Started (port : $unit_port)"
  if wait_until 2 has_line "$1" "$line"; then
    echo "  '$line' in the journal $(seconds_since "$2") s after the start"
  else
    echo "  '$line' not in the journal 2 s after the start; it held: $(server_lines "$1" | tr '\n' '|')" >&2
    return 1
  fi
}

# A token minted with the installed key, as the README shows, validates; the
# companion answers 200 for it and 401 for another user's.
token_validates() {
  local token answer
  token=$(in_container sh -c 'set -a; . /etc/default/gmi-server; gmi-token --user alice')
  answer=$(container_get "http://127.0.0.1:$unit_port/login?userid=alice&gmi=$token")
  same_text "/login with the installed key's token" "$valid_body" "$answer" || return 1
  answer=$(container_get -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $token" \
    -H 'X-GMI-User: alice' "http://127.0.0.1:$((unit_port + 1))/")
  same_text "gmi-authz for alice's token" 200 "$answer" || return 1
  answer=$(container_get -o /dev/null -w '%{http_code} %header{x-gmi-reason}' \
    -H "Authorization: Bearer $token" -H 'X-GMI-User: bob' "http://127.0.0.1:$((unit_port + 1))/")
  same_text "gmi-authz for alice's token presented by bob" "401 ERROR_UID_MISMATCH" "$answer"
}

metrics_and_readiness() {
  local metrics readiness
  metrics=$(container_get "http://127.0.0.1:$((unit_port + 2))/metrics")
  grep -qx 'gmi_up 1' <<<"$metrics" || { echo "  /metrics lacks 'gmi_up 1'" >&2; return 1; }
  # One validation asked directly, two through gmi-authz.
  grep -qx 'gmi_validations_total 3' <<<"$metrics" ||
    { echo "  /metrics lacks 'gmi_validations_total 3': $(grep '^gmi_validations_total' <<<"$metrics")" >&2; return 1; }
  readiness=$(container_get -o /dev/null -w '%{http_code}' "http://127.0.0.1:$((unit_port + 2))/readyz")
  same_text "/readyz" 200 "$readiness"
}

status_field() {  # $1: PID, $2: field of /proc/PID/status
  in_container awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"
}

sandboxed_process() {  # $1: PID
  local uid
  uid=$(status_field "$1" Uid)
  [[ -n $uid && $uid != 0 ]] || { echo "  uid '$uid'" >&2; return 1; }
  echo "  uid $uid, CapEff $(status_field "$1" CapEff), NoNewPrivs $(status_field "$1" NoNewPrivs), Seccomp $(status_field "$1" Seccomp)"
  same_text CapEff 0000000000000000 "$(status_field "$1" CapEff)" &&
    same_text NoNewPrivs 1 "$(status_field "$1" NoNewPrivs)" &&
    same_text "Seccomp (2: filter)" 2 "$(status_field "$1" Seccomp)"
}

# Tried in the process's own namespaces, as its own user and group.
cannot_write_usr() {  # $1: PID
  local error
  if error=$(in_container nsenter -t "$1" -a -S "$(status_field "$1" Uid)" -G "$(status_field "$1" Gid)" \
      touch /usr/lib/gmi-server/write-probe 2>&1); then
    echo "  the service's user created /usr/lib/gmi-server/write-probe" >&2
    return 1
  fi
  echo "  ${error##*: }"
  [[ $error == *"Read-only file system"* ]] || { echo "  not refused as read-only: $error" >&2; return 1; }
}

veth_listener_answers() {
  [[ $(ip netns exec "$container_netns" socat -T 3 - TCP:198.18.0.2:60099 </dev/null 2>/dev/null) == reachable ]]
}

# From 198.18.0.1, through the veth, the service's port stays silent while a
# listener outside the unit answers there, and loopback still answers.
ip_address_deny_holds() {
  local answer listener reached=0
  nsenter -t "$container_pid" -n socat TCP-LISTEN:60099,bind=198.18.0.2,reuseaddr SYSTEM:'echo reachable' &
  listener=$!
  wait_until 5 veth_listener_answers || reached=$?
  kill "$listener" 2>/dev/null || true
  wait "$listener" 2>/dev/null || true
  ((reached == 0)) || { echo "  a listener outside the unit does not answer through the veth" >&2; return 1; }
  if answer=$(ip netns exec "$container_netns" curl -sS -m 3 "http://198.18.0.2:$unit_port/log" 2>&1); then
    echo "  $server_unit answered through the veth: $answer" >&2
    return 1
  fi
  echo "  a listener outside the unit answers through the veth; $server_unit: ${answer#curl: }"
  container_get "http://127.0.0.1:$unit_port/log" >/dev/null
}

# Stopped through /quit by the unit's ExecStop: the whole teardown in the
# journal, exit status 0.
stops_cleanly() {  # $1: journal match
  local start=$EPOCHREALTIME
  in_container systemctl stop "$server_unit"
  echo "  systemctl stop took $(seconds_since "$start") s"
  same_text "the last [Server] lines" $'[Server] Stopped\n[Server] CleanupAuth()\n[Server] Exit' \
    "$(server_lines "$1" | tail -n 3)" || return 1
  same_text "status" "exited 0 success" \
    "$(unit_property "$server_unit" ExecMainCode | sed 's/^1$/exited/') $(unit_property "$server_unit" ExecMainStatus) $(unit_property "$server_unit" Result)"
}

restarted_after() {  # $1: old main PID
  local pid
  pid=$(unit_property "$server_unit" MainPID)
  [[ $pid != 0 && $pid != "$1" && $(unit_property "$server_unit" ActiveState) == active ]] &&
    container_get "http://127.0.0.1:$unit_port/log" >/dev/null
}

restarts_after_sigkill() {
  local pid start=$EPOCHREALTIME
  pid=$(unit_property "$server_unit" MainPID)
  in_container sh -c 'kill -KILL "$1"' sh "$pid"
  wait_until 10 restarted_after "$pid" || { echo "  no new process answers 10 s after SIGKILL of $pid" >&2; return 1; }
  echo "  PID $pid killed; PID $(unit_property "$server_unit" MainPID) answers $(seconds_since "$start") s later, NRestarts $(unit_property "$server_unit" NRestarts)"
}

server_inactive() {
  [[ $(unit_property "$server_unit" ActiveState) == inactive ]]
}

# An HTTP /quit is a clean exit: the unit stays stopped, past RestartSec=2.
quit_stays_stopped() {
  local answer
  answer=$(container_get "http://127.0.0.1:$unit_port/quit")
  same_text /quit '{"server_status":"CLOSE"}' "$answer" || return 1
  wait_until 10 server_inactive || true
  sleep 3
  same_text "state 3 s after /quit" "inactive success" \
    "$(unit_property "$server_unit" ActiveState) $(unit_property "$server_unit" Result)"
}

keyless_unit=gmi-server@60008

exited_245() {
  [[ $(unit_property "$keyless_unit" ExecMainStatus) == 245 &&
     $(unit_property "$keyless_unit" ActiveState) == failed ]]
}

# Without its key file the unit must not serve: the library refuses, the
# service exits 245, the unit stays failed (no restart loop) and the journal
# says which setting to fix.
refuses_without_key() {
  local result=0
  in_container mv /etc/default/gmi-server /root/gmi-server.default
  in_container systemctl start "$keyless_unit"
  wait_until 5 exited_245 || { echo "  $keyless_unit: status $(unit_property "$keyless_unit" ExecMainStatus), not 245" >&2; result=1; }
  in_container journalctl -q -o cat -u "$keyless_unit" | grep -qF 'AUTHSRV_KEYS is not set' ||
    { echo "  no line in the journal says that AUTHSRV_KEYS is not set" >&2; result=1; }
  ! container_get "http://127.0.0.1:60008/log" >/dev/null 2>&1 ||
    { echo "  $keyless_unit answers without a key" >&2; result=1; }
  in_container systemctl reset-failed "$keyless_unit"
  in_container mv /root/gmi-server.default /etc/default/gmi-server
  return "$result"
}

check_units() {
  local invocation start pid
  step "the units: $server_unit and $authz_unit"
  in_container systemctl enable --quiet "$server_unit" "$authz_unit"
  start=$EPOCHREALTIME
  in_container systemctl start "$server_unit" "$authz_unit"
  invocation=_SYSTEMD_INVOCATION_ID=$(unit_property "$server_unit" InvocationID)
  expect "both units start and answer" units_started
  expect "the started line reaches the journal within 2 s" started_line_within_2s "$invocation" "$start"
  expect "a token minted with the installed key: valid, then 200 and 401 through gmi-authz" token_validates
  expect "gmi-authz /metrics and /readyz answer" metrics_and_readiness

  step "the running service's sandbox"
  pid=$(unit_property "$server_unit" MainPID)
  expect "non-root, no effective capability, NoNewPrivs, seccomp filter" sandboxed_process "$pid"
  expect "the service cannot write under /usr" cannot_write_usr "$pid"
  container_link
  expect "IPAddressDeny: dropped through a veth, answered on loopback" ip_address_deny_holds

  step "stop, SIGKILL, /quit"
  expect "systemctl stop: the teardown and status 0" stops_cleanly "$invocation"
  in_container systemctl start "$server_unit"
  wait_until 5 container_get "http://127.0.0.1:$unit_port/log" || true
  expect "SIGKILL of the main process: restarted" restarts_after_sigkill
  expect "/quit: stays stopped" quit_stays_stopped
  expect "without /etc/default/gmi-server: status 245, the journal says why" refuses_without_key
}
