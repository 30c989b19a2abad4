#!/usr/bin/env bash
# Load benchmark: the service against the bare HTTP layer (baseline_server)
# and against nginx, and the recommended HAProxy front (deploy/haproxy/)
# before two instances, all on loopback, measured in one run so the ratios
# hold on a noisy machine. Usage: bench/run.sh BUILD_DIR
#
# BENCH_SECONDS     length of each wrk run (default 10)
# BENCH_ROUNDS      interleaved rounds per connection count; the table shows
#                   each target's median round (default 3)
# BENCH_CONNECTIONS connection counts (default "8 64 256")
# MEMORY_REQUESTS   validations before the second memory reading (default 1000000)
set -euo pipefail

build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${BENCH_SECONDS:-10}
rounds=${BENCH_ROUNDS:-3}
connections=${BENCH_CONNECTIONS:-8 64 256}
memory_requests=${MEMORY_REQUESTS:-1000000}
[[ $seconds -lt 5 && -z ${MEMORY_REQUESTS:-} ]] && memory_requests=50000

work=$(mktemp -d /tmp/gmi-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

source "$root/bench/common.sh"

# --- the three servers ----------------------------------------------------
service_port=$(free_port)
mkdir -p "$work/service"
cp "$build/libAuthSrv.so" "$work/service/"
(cd "$work/service" && exec "$build/gmi-server" "$service_port" >console.log) &
service_pid=$!
pids+=("$service_pid")

baseline_port=$(free_port)
"$build/bench/baseline_server" "$baseline_port" &
pids+=($!)

nginx_port=$(free_port)
body='{"is_valid":true,"reason":""}'
mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes auto;
daemon off;
error_log $work/nginx/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  keepalive_requests 5;
  keepalive_timeout 5;
  server {
    listen 127.0.0.1:$nginx_port;
    location /login { default_type text/plain; return 200 '$body'; }
  }
}
CONF
/usr/sbin/nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
pids+=($!)

# The front: HAProxy with the shipped configuration before two instances
# of their own, as deploy/ recommends.
front_port=$(free_port)
mkdir -p "$work/front"
cp "$build/libAuthSrv.so" "$work/front/"
echo "backend gmi-instances from gmi" >"$work/front/gmi-instances.cfg"
for _ in 1 2; do
  instance_port=$(free_port)
  (cd "$work/front" && exec "$build/gmi-server" "$instance_port" >"console-$instance_port.log") &
  pids+=($!)
  echo "    server gmi-$instance_port 127.0.0.1:$instance_port" >>"$work/front/gmi-instances.cfg"
done
FRONT_ADDR=127.0.0.1 FRONT_PORT=$front_port FRONT_ADMIN_SOCKET=$work/front/admin.sock \
  haproxy -f "$root/deploy/haproxy/gmi-server.cfg" -f "$work/front/gmi-instances.cfg" \
  2>"$work/front/haproxy.log" &
pids+=($!)

# gmi-authz before an instance of its own: decisions as a reverse proxy
# asks for them, beside the direct validations.
authz_service_port=$(free_port)
mkdir -p "$work/authz"
cp "$build/libAuthSrv.so" "$work/authz/"
(cd "$work/authz" && exec "$build/gmi-server" "$authz_service_port" >console.log) &
pids+=($!)
authz_port=$(free_port)
"$build/gmi-authz" --listen "127.0.0.1:$authz_port" --metrics "127.0.0.1:$(free_port)" \
  --upstream "127.0.0.1:$authz_service_port" 2>"$work/authz/authz.log" &
pids+=($!)

wait_for_port "$service_port"
wait_for_port "$front_port"
wait_for_port "$authz_service_port"
wait_for_port "$authz_port"
wait_for_port "$baseline_port"
wait_for_port "$nginx_port"

valid=$("$build/gmi-token" --user alice --ttl 86400)
service_url() { echo "http://127.0.0.1:$service_port/login?userid=$1&gmi=$valid"; }

# --- measuring --------------------------------------------------------------
to_ms() {  # wrk prints 812.00us, 1.20ms or 1.02s
  awk -v v="$1" 'BEGIN {
    if (v ~ /us$/) printf "%.3f", v / 1000;
    else if (v ~ /ms$/) printf "%.3f", v + 0;
    else if (v ~ /s$/) printf "%.3f", v * 1000;
    else printf "%s", v }'
}

# Prints "requests_per_s p50_ms p99_ms errors" for one wrk run; further
# arguments are request headers.
measure() {
  local url=$1 count=$2 out header headers=()
  shift 2
  for header in "$@"; do headers+=(-H "$header"); done
  # The listen backlog of 5 overflows under reconnect storms (5 requests a
  # connection), and a dropped SYN is retried after 1 s, then 3 s: a 10 s
  # timeout lets that show as tail latency instead of wrk's 2 s time-outs.
  out=$(wrk -t 2 -c "$count" -d "${seconds}s" --timeout 10s --latency "${headers[@]}" "$url")
  local rps p50 p99 socket_errors non2xx
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p50=$(to_ms "$(awk '$1 == "50%" {print $2}' <<<"$out")")
  p99=$(to_ms "$(awk '$1 == "99%" {print $2}' <<<"$out")")
  socket_errors=$(awk '/Socket errors/ {gsub(",", ""); print $4 + $6 + $8 + $10}' <<<"$out")
  non2xx=$(awk '/Non-2xx/ {print $NF}' <<<"$out")
  echo "$rps $p50 $p99 $(( ${socket_errors:-0} + ${non2xx:-0} ))"
}

rss_kib() { awk "/^$1:/ {print \$2}" "/proc/$service_pid/status"; }
request_count() {
  curl -s "http://127.0.0.1:$service_port/log" | sed 's/.*"request_count":\([0-9]*\).*/\1/'
}
# Drives validations until the service has counted at least $1 of them.
drive_until() {
  while [[ $(request_count) -lt $1 ]]; do
    wrk -t 2 -c 64 -d 2s "$(service_url alice)" >/dev/null
  done
}

mkdir -p "$root/bench/results"
csv="$root/bench/results/$(date -u +%Y%m%dT%H%M%SZ).csv"
echo "target,token,connections,requests_per_s,p50_ms,p99_ms,errors,vs_baseline,vs_nginx" >"$csv"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }

printf '%-9s %-8s %5s %12s %9s %9s %7s %8s %8s\n' \
  target token conns "requests/s" "p50 ms" "p99 ms" errors "/base" "/nginx"
# Of several "rps p50 p99 errors" lines, the one with the median rps, with
# errors summed over all of them.
median_run() {
  sort -n | awk '{ line[NR] = $0; errors += $4 }
    END { split(line[int((NR + 1) / 2)], f, " ");
          print f[1], f[2], f[3], errors }'
}

# No server is measured twice in a row: every run leaves thousands of
# connections in TIME_WAIT on the port it used (5 requests a connection),
# which slows the next run on that same port.
targets=("service valid" "baseline -" "service invalid" "nginx -" "authz valid" "front valid")
target_url() {
  case "$1 $2" in
    "baseline -") echo "http://127.0.0.1:$baseline_port/login" ;;
    "nginx -") echo "http://127.0.0.1:$nginx_port/login" ;;
    "service valid") service_url alice ;;
    "service invalid") service_url mallory ;;
    "front valid") echo "http://127.0.0.1:$front_port/login?userid=alice&gmi=$valid" ;;
    "authz valid") echo "http://127.0.0.1:$authz_port/auth" ;;
  esac
}
# Headers of a target's requests, one a line: a proxy's decision request.
target_headers() {
  [[ "$1 $2" == "authz valid" ]] || return 0
  printf '%s\n' "Authorization: Bearer $valid" "X-GMI-User: alice"
}

for count in $connections; do
  # Rounds interleave the targets, so that a slow patch of the machine
  # weighs on all of them alike.
  runs=$(for round in $(seq "$rounds"); do
    for target in "${targets[@]}"; do
      mapfile -t headers < <(target_headers $target)
      echo "$target $(measure "$(target_url $target)" "$count" "${headers[@]}")"
    done
  done)
  declare -A result=()
  for target in "${targets[@]}"; do
    result[$target]=$(grep "^$target " <<<"$runs" | cut -d' ' -f3- | median_run)
  done
  base_rps=${result["baseline -"]%% *}
  nginx_rps=${result["nginx -"]%% *}
  for target in "baseline -" "nginx -" "service valid" "service invalid" "front valid" \
                "authz valid"; do
    read -r rps p50 p99 err <<<"${result[$target]}"
    read -r name token <<<"$target"
    vs_base=$(ratio "$rps" "$base_rps")
    vs_nginx=$(ratio "$rps" "$nginx_rps")
    printf '%-9s %-8s %5s %12s %9s %9s %7s %8s %8s\n' \
      "$name" "$token" "$count" "$rps" "$p50" "$p99" "$err" "$vs_base" "$vs_nginx"
    echo "$name,$token,$count,$rps,$p50,$p99,$err,$vs_base,$vs_nginx" >>"$csv"
  done
  echo "gmi-authz decisions: $(ratio "${result["authz valid"]%% *}" \
    "${result["service valid"]%% *}") of the direct validations' rate"
done

# --- memory -----------------------------------------------------------------
drive_until 10000
rss_small=$(rss_kib VmRSS)
drive_until "$memory_requests"
rss_large=$(rss_kib VmRSS)
peak=$(rss_kib VmHWM)
validations=$(request_count)
echo
echo "service resident memory: peak ${peak} KiB; ${rss_small} KiB after 10000 validations," \
     "${rss_large} KiB after ${validations} (ratio $(ratio "$rss_large" "$rss_small"))"
echo "memory,rss_after_10000_kib,$rss_small,rss_after_${validations}_kib,$rss_large,peak_kib,$peak" >>"$csv"

curl -s "http://127.0.0.1:$service_port/quit" >/dev/null
wait "$service_pid"
echo "results: $csv"
"$root/bench/chart.sh" "$csv"
