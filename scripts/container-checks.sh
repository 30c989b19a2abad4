# Sourced by check-image.sh and check-kubernetes.sh: what both ask of podman
# and of the processes running in a container.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

pass() {
  echo "ok: $*"
}

# Rootful podman on this kind of machine needs runc (crun refuses its hybrid
# cgroups) and explicit nofile and nproc limits, which may not exceed the
# host's hard limits. podman run takes them as options; podman kube play
# takes none, so they also go in a containers.conf of the check's own,
# named by CONTAINERS_CONF.
nofile_limit=$(( $(ulimit -Hn) < 4096 ? $(ulimit -Hn) : 4096 ))
nproc_limit=$(( $(ulimit -Hu) < 4096 ? $(ulimit -Hu) : 4096 ))
podman_run_options=(--runtime runc
                    --ulimit "nofile=$nofile_limit:$nofile_limit"
                    --ulimit "nproc=$nproc_limit:$nproc_limit")

use_check_containers_conf() {
  local conf=$1
  cat >"$conf" <<CONF
[containers]
default_ulimits = ["nofile=$nofile_limit:$nofile_limit", "nproc=$nproc_limit:$nproc_limit"]
[engine]
runtime = "runc"
CONF
  export CONTAINERS_CONF=$conf
}

new_key() {
  echo "1:$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')"
}

# Retries a command for up to $1 seconds.
eventually() {
  local seconds=$1
  shift
  for ((tenths = 0; tenths < seconds * 10; ++tenths)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# The process the image's init started: the service itself.
service_pid_of() {
  local init_pid
  init_pid=$(podman inspect --format '{{.State.Pid}}' "$1")
  local children
  children=$(cat "/proc/$init_pid/task/$init_pid/children")
  [[ -n $children ]] || fail "$1: its init has no child"
  echo "${children%% *}"
}

# A process runs as uid 10001, with no capability left, no way to gain
# privileges, a seccomp filter and a read-only root.
check_confined() {
  local label=$1 pid=$2 status root_options
  status=$(cat "/proc/$pid/status")
  grep -Eq '^Uid:\s+10001\s+10001\s+10001\s+10001$' <<<"$status" ||
    fail "$label: not running as uid 10001: $(grep '^Uid' <<<"$status")"
  # The bounding set too: capabilities dropped, not merely unused.
  grep -Eq '^CapEff:\s+0+$' <<<"$status" && grep -Eq '^CapBnd:\s+0+$' <<<"$status" ||
    fail "$label: has capabilities: $(grep -E '^Cap(Eff|Bnd)' <<<"$status" | tr '\n' ' ')"
  grep -Eq '^NoNewPrivs:\s+1$' <<<"$status" || fail "$label: NoNewPrivs is not set"
  grep -Eq '^Seccomp:\s+2$' <<<"$status" || fail "$label: no seccomp filter"
  root_options=$(awk '$5 == "/" { print $6 }' "/proc/$pid/mountinfo")
  [[ $root_options == ro,* ]] || fail "$label: root mounted '$root_options'"
  pass "$label runs as uid 10001, no capability, NoNewPrivs, seccomp, read-only root"
}

# check_body and check_status run curl through the command in this array,
# if any (check-kubernetes.sh: into a pod's network namespace).
through=()

# check_body LABEL EXPECTED curl-arguments...: the exact body.
check_body() {
  local label=$1 expected=$2 body
  shift 2
  body=$("${through[@]}" curl -sS -m 5 "$@") || fail "$label: no answer"
  [[ $body == "$expected" ]] || fail "$label: answered '$body', not '$expected'"
  pass "$label: $body"
}

# check_status LABEL EXPECTED curl-arguments...: the status code.
check_status() {
  local label=$1 expected=$2 status
  shift 2
  status=$("${through[@]}" curl -sS -m 5 -o /dev/null -w '%{http_code}' "$@") ||
    fail "$label: no answer"
  [[ $status == "$expected" ]] || fail "$label: status $status, not $expected"
  pass "$label: $status"
}

# A token for a user, minted by the image's own gmi-token with the key given.
mint_token() {
  local image=$1 key=$2 user=$3
  podman run --rm "${podman_run_options[@]}" --read-only --network none \
    --env AUTHSRV_KEYS="$key" --entrypoint /usr/bin/gmi-token "$image" --user "$user"
}

# Checks that a service container's log ends with the teardown and that it
# exited 0: what stopping it through /quit gives.
check_stopped_through_quit() {
  local container=$1 log status
  log=$(podman logs "$container" 2>&1)
  [[ $(tail -n 1 <<<"$log") == "[Server] Exit" ]] ||
    fail "$container: the log ends '$(tail -n 3 <<<"$log")'"
  grep -qx '\[Server\] Stopped' <<<"$log" || fail "$container: no '[Server] Stopped'"
  status=$(podman inspect --format '{{.State.ExitCode}}' "$container")
  [[ $status == 0 ]] || fail "$container: exit status $status"
  pass "$container stopped: [Server] Exit, status 0"
}
