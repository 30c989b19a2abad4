#!/usr/bin/env bash
# Installs, with apt-get, whichever Debian packages a purpose needs and this
# machine lacks. Safe to run again: it does nothing when all are present.
#
#   scripts/install-deps.sh run     build and run the service
#   scripts/install-deps.sh test    run's, plus the test suite's
#   scripts/install-deps.sh bench   run's, plus the load benchmark's
#   scripts/install-deps.sh front   run's, plus HAProxy and the fleet tool's
#   scripts/install-deps.sh fuzz    run's, plus clang's libFuzzer
#   scripts/install-deps.sh deb     run's, plus packaging and its checks
#   scripts/install-deps.sh cluster run's, plus the simulated cluster's
#                                   engines and its load client
#   scripts/install-deps.sh alerts  run's, plus the monitoring pair and the load
#                                   client of the alert tests on the cluster
#   scripts/install-deps.sh image   run's, plus the container image, its checks
#                                   and playing the Kubernetes manifests
#   scripts/install-deps.sh kube    run's, plus the Kubernetes manifests' validator
#   scripts/install-deps.sh docs    run's, plus graphviz and gnuplot for the pictures
#   scripts/install-deps.sh check-systemd  a booted systemd in a container
#                                   and load through it (make deb's too)
#   scripts/install-deps.sh readme  a fresh Debian 12 root in a container
#   scripts/install-deps.sh system  the system suite's test runner
#   scripts/install-deps.sh front-checks  the system suite's front tests:
#                                   load from wrk, fail2ban-regex
#
# Several purposes may be named at once.
set -euo pipefail

declare -A purpose_packages=(
  [run]="cmake g++ make pkg-config libcpp-httplib-dev libssl-dev"
  [test]="libgtest-dev curl zlib1g-dev haproxy nginx-light caddy prometheus prometheus-alertmanager python3 graphviz openssl nghttp2-client"
  [bench]="libbenchmark-dev wrk nginx-light curl haproxy gnuplot-nox openssl nghttp2-client python3"
  [front]="haproxy python3 curl openssl"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [cluster]="haproxy keepalived iproute2 curl openssl python3"
  [alerts]="prometheus prometheus-alertmanager nghttp2-client curl python3"
  [docs]="graphviz gnuplot-nox"
  [deb]="build-essential debhelper dpkg-dev fakeroot lintian curl man-db haproxy openssl"
  # catatonit: the pause process of the pods podman kube play makes.
  [image]="podman runc catatonit containernetworking-plugins mmdebstrap curl util-linux"
  [kube]="nodejs npm"
  [check-systemd]="mmdebstrap systemd-container iproute2 socat curl wrk"
  [readme]="mmdebstrap systemd-container git curl"
  [system]="python3 python3-pytest curl"
  # fail2ban: its fail2ban-regex checks deploy/fail2ban/ against the
  # front's log. The package also enables its own service, which guards
  # ssh by default.
  [front-checks]="haproxy wrk fail2ban openssl"
)

packages=(${purpose_packages[run]})
for purpose in "${@:-run}"; do
  [[ -n ${purpose_packages[$purpose]+set} ]] || {
    echo "install-deps.sh: unknown purpose '$purpose'" >&2
    exit 2
  }
  packages+=(${purpose_packages[$purpose]})
done

missing=()
for pkg in "${packages[@]}"; do
  # A Node.js build from outside Debian may bring its own npm; Debian's npm
  # package would then conflict with it.
  [[ $pkg == npm ]] && command -v npm >/dev/null && continue
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "Installing missing packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
