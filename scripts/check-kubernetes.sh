#!/usr/bin/env bash
# check-kubernetes.sh IMAGE: validates deploy/kubernetes/ against the
# Kubernetes API schema, then plays its Deployment with `podman kube play`
# and checks it as a cluster would run it:
#   - with a key in the Secret: both pods become ready (the companion's
#     /readyz), a minted token validates through the service and gets 200
#     and 401 through the companion, both processes run confined as the
#     security context says, and stopping the pods ends each service through
#     /quit with status 0;
#   - with the empty key the shipped Secret holds: the service refuses to
#     start and the pods never become ready.
# Each play is torn down with `podman kube down`. The pods have no network
# but their own loopback (--network none), reached through their network
# namespace, so nothing is published on the host.
#
# podman 4.3 resolves a secretKeyRef from a podman secret of the same name
# holding a JSON object of base64 values; the check makes it, and removes it
# at the end, with the pods gmi-server-pod-0 and -1.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/container-checks.sh

image=${1:?usage: check-kubernetes.sh IMAGE}
deployment=deploy/kubernetes/deployment.yaml
secret=gmi-server-keys
pods=(gmi-server-pod-0 gmi-server-pod-1)
scratch=$(mktemp -d)
use_check_containers_conf "$scratch/containers.conf"

# podman's output, which includes complaints that it cannot reach systemd to
# time the liveness probes (no systemd runs here), goes to a file, shown
# when a step fails.
quietly() {
  "$@" >>"$scratch/podman.log" 2>&1 || fail "$* failed: $(tail -n 20 "$scratch/podman.log")"
}

# By name too: a pod a failed kube down left behind (see
# remove_keyless_play) would otherwise make the next play fail.
tear_down() {
  podman kube down "$deployment" >>"$scratch/podman.log" 2>&1 || true
  podman pod rm --force --ignore "${pods[@]}" >>"$scratch/podman.log" 2>&1 || true
  podman secret rm "$secret" >/dev/null 2>&1 || true
}

# Without a key the service exits and podman starts it again and again; a
# removal that meets a restart half-done fails in podman 4.3 ("shm: device
# or resource busy") and leaves its pod. A moment later it is removed by
# name.
remove_keyless_play() {
  podman kube down "$deployment" >>"$scratch/podman.log" 2>&1 && return 0
  sleep 1
  quietly podman pod rm --force --ignore "${pods[@]}"
}

finish() {
  tear_down
  rm -rf "$scratch"
}
trap finish EXIT

play_with_key() {
  tear_down
  printf '{"AUTHSRV_KEYS":"%s"}' "$(printf '%s' "$1" | base64 -w0)" >"$scratch/secret.json"
  quietly podman secret create "$secret" "$scratch/secret.json"
  quietly podman kube play --network none "$deployment"
}

# Runs a command in a pod's network namespace, where the pod's loopback is.
in_pod() {
  local pod=$1 infra
  shift
  infra=$(podman pod inspect --format '{{.InfraContainerID}}' "$pod")
  nsenter -t "$(podman inspect --format '{{.State.Pid}}' "$infra")" -n "$@"
}

scripts/validate-kubernetes.sh
version=$(sed -n '1s/^[^(]*(\([0-9.]*\)).*/\1/p' debian/changelog)
grep -q "image: localhost/$image\$" "$deployment" || fail "$deployment does not run $image"
[[ $image == "gmi-server:$version" ]] || fail "$image is not the version $version"

key=$(new_key)
play_with_key "$key"
token=$(mint_token "$image" "$key" alice)
for pod in "${pods[@]}"; do
  eventually 15 in_pod "$pod" curl -sf http://127.0.0.1:60004/readyz ||
    fail "$pod: not ready: $(podman logs "$pod-gmi-server" 2>&1 | tail -n 3)"
  pass "$pod: ready"
  through=(in_pod "$pod")
  check_body "$pod: a minted token through the service" '{"is_valid":true,"reason":""}' \
    "http://127.0.0.1:60002/login?userid=alice&gmi=$token"
  check_status "$pod: the companion's decision" 200 \
    -H "Authorization: Bearer $token" -H "X-GMI-User: alice" http://127.0.0.1:60003/
  check_status "$pod: the companion's decision for another user" 401 \
    -H "Authorization: Bearer $token" -H "X-GMI-User: bob" http://127.0.0.1:60003/
  check_confined "$pod: the service" "$(service_pid_of "$pod-gmi-server")"
  check_confined "$pod: the companion" "$(podman inspect --format '{{.State.Pid}}' "$pod-gmi-authz")"
done

# What a pod deletion does, less the preStop hook, which podman does not
# run: SIGTERM to every container, SIGKILL after the grace period.
quietly podman pod stop --time 20 "${pods[@]}"
for pod in "${pods[@]}"; do
  check_stopped_through_quit "$pod-gmi-server"
  [[ $(podman inspect --format '{{.State.ExitCode}}' "$pod-gmi-authz") == 0 ]] ||
    fail "$pod-gmi-authz: exit status not 0"
done
quietly podman kube down "$deployment"
for pod in "${pods[@]}"; do
  podman pod exists "$pod" && fail "$pod remains after podman kube down"
done
pass "podman kube down removed every pod"

# The shipped Secret's empty value: the pods must not serve.
play_with_key ""
for pod in "${pods[@]}"; do
  eventually 15 sh -c "podman logs $pod-gmi-server 2>&1 | grep -qx 'InitAuth() failed'" ||
    fail "$pod: the service did not refuse the empty key"
  through=(in_pod "$pod")
  check_status "$pod: /readyz without a key" 503 http://127.0.0.1:60004/readyz
done
pass "without a key the service refuses to start and no pod is ready"
remove_keyless_play
echo "check-kubernetes.sh: all checks passed"
