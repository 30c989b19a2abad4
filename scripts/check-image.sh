#!/usr/bin/env bash
# check-image.sh IMAGE: runs the image as the README says and checks what a
# user relies on: the service runs read-only as a non-root user with no
# capability; a token minted by the image's gmi-token with a key given as a
# mounted secret file validates, and the companion, run from the same image
# beside it, answers 200 and 401; `podman stop` ends the service through
# /quit, with its teardown lines and status 0 in the container's log; without
# a key, or with an empty one, or with keys given both ways, the container
# fails to start. Every container and secret it makes is named
# gmi-image-check*, and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/container-checks.sh

image=${1:?usage: check-image.sh IMAGE}
name=gmi-image-check
# Published on loopback only: the service, then the companion's decisions.
port=${CHECK_IMAGE_PORT:-61002}
key=$(new_key)
hardening=(--read-only --cap-drop all --security-opt no-new-privileges)

remove_all() {
  # The companion first: it shares the service container's network.
  podman rm --force --ignore --time 0 "$name-authz" >/dev/null
  podman rm --force --ignore --time 0 "$name" "$name-nokey" >/dev/null
  podman secret rm "$name-keys" >/dev/null 2>&1 || true
}
remove_all
trap remove_all EXIT

size=$(podman image inspect --format '{{.Size}}' "$image")
(( size < 40 * 1024 * 1024 )) || fail "$image is $size bytes, over 40 MiB"
pass "$image is $((size / 1024)) KiB"
podman image inspect --format '{{.Config.Env}}' "$image" | grep -q AUTHSRV &&
  fail "$image carries a key setting"

printf '%s' "$key" | podman secret create "$name-keys" - >/dev/null
podman run -d --name "$name" "${podman_run_options[@]}" "${hardening[@]}" \
  --secret "$name-keys,target=/etc/gmi-server/keys" --env AUTHSRV_KEYS_FILE=/etc/gmi-server/keys \
  -p "127.0.0.1:$port:60002" -p "127.0.0.1:$((port + 1)):60003" \
  "$image" >/dev/null
podman run -d --name "$name-authz" "${podman_run_options[@]}" "${hardening[@]}" \
  --network "container:$name" --entrypoint /usr/sbin/gmi-authz \
  "$image" --listen 0.0.0.0:60003 >/dev/null
service=http://127.0.0.1:$port
eventually 10 curl -sf "$service/log" || fail "the service did not answer: $(podman logs "$name" 2>&1)"
eventually 10 curl -s "http://127.0.0.1:$((port + 1))/" || fail "the companion did not answer"
check_confined "the service" "$(service_pid_of "$name")"

token=$(mint_token "$image" "$key" alice)
check_body "a minted token" '{"is_valid":true,"reason":""}' "$service/login?userid=alice&gmi=$token"
check_body "the token for another user" '{"is_valid":false,"reason":"ERROR_UID_MISMATCH"}' \
  "$service/login?userid=bob&gmi=$token"
decision=http://127.0.0.1:$((port + 1))/
check_status "the companion's decision" 200 -H "Authorization: Bearer $token" -H "X-GMI-User: alice" "$decision"
check_status "the companion's decision for another user" 401 \
  -H "Authorization: Bearer $token" -H "X-GMI-User: bob" "$decision"

# The service handles no signals: only the image's init turning SIGTERM into
# /quit gets the teardown and status 0 before podman's 10 s run out.
podman stop "$name-authz" >/dev/null
podman stop "$name" >/dev/null
check_stopped_through_quit "$name"

# No key at all, then the empty key an unset Secret value gives: the
# container must end at once, as the service documents a refused InitAuth.
for keys in unset empty; do
  settings=()
  [[ $keys == empty ]] && settings=(--env AUTHSRV_KEYS=)
  podman rm --force --ignore "$name-nokey" >/dev/null
  podman run -d --name "$name-nokey" "${podman_run_options[@]}" "${hardening[@]}" \
    --network none "${settings[@]}" "$image" >/dev/null
  status=$(timeout 10 podman wait "$name-nokey") || fail "key $keys: the container still runs"
  [[ $status == 245 ]] || fail "key $keys: exit status $status, not 245"
  podman logs "$name-nokey" 2>&1 | grep -qx 'InitAuth() failed' ||
    fail "key $keys: no 'InitAuth() failed' in the log"
  pass "key $keys: the container exits 245 with 'InitAuth() failed'"
done
# Keys given twice: the entry point cannot tell which one was meant.
podman rm --force --ignore "$name-nokey" >/dev/null
podman run -d --name "$name-nokey" "${podman_run_options[@]}" "${hardening[@]}" --network none \
  --env AUTHSRV_KEYS="$key" --env AUTHSRV_KEYS_FILE=/etc/gmi-server/keys "$image" >/dev/null
status=$(timeout 10 podman wait "$name-nokey") || fail "keys given twice: the container still runs"
[[ $status == 2 ]] || fail "keys given twice: exit status $status, not 2"
pass "keys given twice: the container exits 2"
echo "check-image.sh: all checks passed"
