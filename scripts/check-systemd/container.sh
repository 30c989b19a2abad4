# A booted Debian 12 with systemd, in a container, for scripts/check-systemd.sh
# (sourced). No systemd runs this machine, so the units are proven in one:
# a root made by mmdebstrap, cached, booted by systemd-nspawn on a throwaway
# overlay, entered with nsenter.
#
#   container_root PACKAGES...  prints the cached root holding them, made once
#   container_boot ROOT LOG     boots it; sets container_pid (its PID 1)
#   in_container CMD...         runs CMD inside: every namespace of PID 1
#   container_link              a veth from a namespace of our own into it;
#                               sets container_netns
#   container_teardown          powers it off, removes the link's namespace
#
# Needs fail() from the caller.

container_cache=${GMI_CHECK_CACHE:-/var/cache/gmi-server-checks}
container_nspawn_pid=""
container_pid=""
container_netns=""

# The root is keyed by what it holds, so a package added to the list makes a
# new one, and the old ones are removed. Made under a lock, in a temporary
# directory renamed at the end: an interrupted run leaves no half root.
container_root() {
  local key root
  key=$(printf '%s\n' bookworm "$@" | sort -u | sha256sum | cut -c1-16)
  root=$container_cache/systemd-root-$key
  mkdir -p "$container_cache"
  (
    flock 9
    [[ -d $root ]] && exit 0
    rm -rf "$container_cache"/systemd-root-*
    echo "making the container's root (cached in $root)" >&2
    mmdebstrap --quiet --variant=apt --include="$(IFS=,; echo "$*")" \
      bookworm "$root.new" >&2 || exit 1
    mv "$root.new" "$root"
  ) 9>"$container_cache/.lock" || fail "mmdebstrap could not make the container's root"
  echo "$root"
}

# SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 and --system-call-filter=bpf let the
# systemd inside attach its BPF programs to the units' cgroups: without
# them the units' IPAddressDeny= is silently not applied. --register=no and
# --keep-unit because no systemd runs the host. --volatile=overlay keeps
# the cached root read-only: everything written inside lands in a tmpfs
# that goes with the container. --private-network gives it a loopback of its
# own, reachable from outside only through container_link.
container_boot() {
  local root=$1 log=$2 child
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 setsid systemd-nspawn --quiet --boot \
    --register=no --keep-unit --system-call-filter=bpf --private-network \
    --volatile=overlay --console=passive --machine="gmi-check-$$" \
    --directory="$root" </dev/null >"$log" 2>&1 &
  container_nspawn_pid=$!
  # nspawn's child that is PID 1 in its own namespace is the container's init.
  for ((tenths = 0; tenths < 100; ++tenths)); do
    for child in $(cat "/proc/$container_nspawn_pid/task/$container_nspawn_pid/children" 2>/dev/null); do
      if [[ $(awk '/^NSpid:/ { print $NF }' "/proc/$child/status" 2>/dev/null) == 1 ]]; then
        container_pid=$child
        break 2
      fi
    done
    kill -0 "$container_nspawn_pid" 2>/dev/null || fail "systemd-nspawn ended: $(tail -n 5 "$log")"
    sleep 0.1
  done
  [[ -n $container_pid ]] || fail "no init in the container after 10 s"
  # Until systemd listens, systemctl fails or says "offline" at once; then
  # --wait waits for the end of the boot.
  local state=""
  for ((tenths = 0; tenths < 600; ++tenths)); do
    state=$(timeout 60 nsenter -t "$container_pid" -a systemctl is-system-running --wait 2>/dev/null || true)
    [[ $state == "" || $state == offline ]] || break
    sleep 0.1
  done
  [[ $state == running || $state == degraded ]] || fail "the container's systemd is '$state'"
  [[ $state == running ]] ||
    echo "the container booted degraded: $(in_container systemctl --failed --no-legend --plain | awk '{ print $1 }')"
}

in_container() {
  nsenter -t "$container_pid" -a "$@"
}

# A veth pair between a network namespace of our own and the container's:
# 198.18.0.1 outside, 198.18.0.2 inside. Sets container_netns, for
# `ip netns exec`. Neither end touches the host's own network.
container_link() {
  container_netns=gmi-check-$$
  ip netns add "$container_netns"
  ip -n "$container_netns" link add gmi-out type veth peer name gmi-in netns "$container_pid"
  ip -n "$container_netns" addr add 198.18.0.1/24 dev gmi-out
  ip -n "$container_netns" link set gmi-out up
  ip -n "$container_netns" link set lo up
  nsenter -t "$container_pid" -n ip addr add 198.18.0.2/24 dev gmi-in
  nsenter -t "$container_pid" -n ip link set gmi-in up
}

# Power-off through nspawn (SIGTERM asks the container's systemd to halt),
# SIGKILL if it has not within 30 s. Deleting our namespace deletes the veth.
container_teardown() {
  if [[ -n $container_nspawn_pid ]] && kill -TERM "$container_nspawn_pid" 2>/dev/null; then
    for ((tenths = 0; tenths < 300; ++tenths)); do
      kill -0 "$container_nspawn_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$container_nspawn_pid" 2>/dev/null || true
    wait "$container_nspawn_pid" 2>/dev/null || true
  fi
  container_nspawn_pid=""
  [[ -z $container_netns ]] || ip netns del "$container_netns" 2>/dev/null || true
  container_netns=""
}
