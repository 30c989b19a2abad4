#!/usr/bin/env bash
# Load benchmark: the service against the bare HTTP layer (baseline_server)
# and against nginx, and the recommended HAProxy front (deploy/haproxy/)
# before two instances, over plain HTTP, HTTPS with HTTP/1.1 keep-alive
# (wrk) and HTTPS with HTTP/2 (h2load, several streams a connection), all on
# loopback, measured in one run so the ratios hold on a noisy machine.
# Usage: bench/run.sh BUILD_DIR
#
# BENCH_SECONDS     length of each wrk run (default 10)
# BENCH_ROUNDS      interleaved rounds per connection count; the table shows
#                   each target's median round (default 3)
# BENCH_CONNECTIONS connection counts (default "8 64 256")
# BENCH_H2_STREAMS  concurrent HTTP/2 streams per connection (default 4)
# BENCH_MIXED_SECONDS  the run of a client with 2% invalid tokens (default 60)
# MEMORY_REQUESTS   validations before the second memory reading (default 1000000)
set -euo pipefail

build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${BENCH_SECONDS:-10}
rounds=${BENCH_ROUNDS:-3}
connections=${BENCH_CONNECTIONS:-8 64 256}
h2_streams=${BENCH_H2_STREAMS:-4}
memory_requests=${MEMORY_REQUESTS:-1000000}
[[ $seconds -lt 5 && -z ${MEMORY_REQUESTS:-} ]] && memory_requests=50000
mixed_seconds=${BENCH_MIXED_SECONDS:-60}
[[ $seconds -lt 5 && -z ${BENCH_MIXED_SECONDS:-} ]] && mixed_seconds=$seconds

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
front_tls_port=$(free_port)
mkdir -p "$work/front"
"$root/scripts/dev-certs.sh" "$work/front/tls"
cp "$build/libAuthSrv.so" "$work/front/"
echo "backend gmi-instances from gmi" >"$work/front/gmi-instances.cfg"
for _ in 1 2; do
  instance_port=$(free_port)
  (cd "$work/front" && exec "$build/gmi-server" "$instance_port" >"console-$instance_port.log") &
  pids+=($!)
  echo "    server gmi-$instance_port 127.0.0.1:$instance_port" >>"$work/front/gmi-instances.cfg"
done
# Only root can hand HAProxy's worker to the haproxy user.
[[ $(id -u) == 0 ]] || export FRONT_KEEP_USER=1
# start_front PORT TLS_PORT NAME [SETTING=VALUE...]: the shipped front
# before the two instances; its access log goes to NAME.log, a file, as a
# journal would take it.
start_front() {
  local port=$1 tls_port=$2 name=$3
  shift 3
  env FRONT_PORT="$port" FRONT_ADMIN_SOCKET="$work/front/$name.sock" \
    FRONT_TLS_ADDR=127.0.0.1 FRONT_TLS_PORT="$tls_port" FRONT_CERT="$work/front/tls/server.pem" \
    FRONT_ADMIN_ADDR=127.0.0.1 FRONT_ADMIN_PORT="$(free_port)" FRONT_ADMIN_CA="$work/front/tls/ca.pem" \
    FRONT_METRICS_PORT="$(free_port)" FRONT_EDGE_PORT="$(free_port)" \
    FRONT_LUA="$root/deploy/haproxy/gmi-instance-address.lua" "$@" \
    haproxy -f "$root/deploy/haproxy/gmi-server.cfg" -f "$work/front/gmi-instances.cfg" \
    >"$work/front/$name.log" 2>"$work/front/$name.err" &
  pids+=($!)
}
start_front "$front_port" "$front_tls_port" haproxy
# The same front with its access log and throttle off: what they cost.
front_off_port=$(free_port)
start_front "$front_off_port" "$(free_port)" haproxy-off FRONT_ACCESS_LOG=off FRONT_THROTTLE_BUDGET=0

# gmi-authz before an instance of its own: decisions as a reverse proxy
# asks for them, beside the direct validations.
authz_service_port=$(free_port)
mkdir -p "$work/authz"
cp "$build/libAuthSrv.so" "$work/authz/"
(cd "$work/authz" && exec "$build/gmi-server" "$authz_service_port" >console.log) &
pids+=($!)
authz_port=$(free_port)
"$build/gmi-authz" --listen "127.0.0.1:$authz_port" --metrics "127.0.0.1:$(free_port)" \
  --upstream "127.0.0.1:$authz_service_port" >"$work/authz/access.log" 2>"$work/authz/authz.log" &
pids+=($!)
# The same without its access log and throttle: what they cost a decision.
authz_off_port=$(free_port)
"$build/gmi-authz" --listen "127.0.0.1:$authz_off_port" --metrics "127.0.0.1:$(free_port)" \
  --upstream "127.0.0.1:$authz_service_port" --no-access-log --throttle-budget 0 \
  2>"$work/authz/authz-off.log" &
pids+=($!)

wait_for_port "$service_port"
wait_for_port "$front_port"
wait_for_port "$front_tls_port"
wait_for_port "$front_off_port"
wait_for_port "$authz_service_port"
wait_for_port "$authz_port"
wait_for_port "$authz_off_port"
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

# The same four figures for one h2load run over HTTP/2: h2load prints no
# percentiles, so they come from its log of every request's duration (µs).
measure_h2() {
  local url=$1 count=$2 out log=$work/h2load.log
  out=$(h2load -t 2 -c "$count" -m "$h2_streams" -D "$seconds" --log-file="$log" "$url")
  local rps errors p50 p99
  rps=$(awk '/^finished in/ {print $4}' <<<"$out")
  # Requests done but not succeeded, and answers other than 2xx.
  errors=$(awk '/^requests:/ { e += $2 - $8 } /^status codes:/ { e += $5 + $7 + $9 }
    END { print e + 0 }' <<<"$out")
  read -r p50 p99 < <(awk '{print $3}' "$log" | sort -n | awk '{ d[NR] = $1 }
    END { printf "%.3f %.3f\n", d[int(NR * 0.5)] / 1000, d[int(NR * 0.99)] / 1000 }')
  echo "$rps $p50 $p99 $errors"
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
targets=("service valid" "front-tls valid" "baseline -" "front-h2 valid" "service invalid"
         "front-off valid" "nginx -" "authz valid" "front valid" "authz-off valid")
target_url() {
  case "$1 $2" in
    "baseline -") echo "http://127.0.0.1:$baseline_port/login" ;;
    "nginx -") echo "http://127.0.0.1:$nginx_port/login" ;;
    "service valid") service_url alice ;;
    "service invalid") service_url mallory ;;
    "front valid") echo "http://127.0.0.1:$front_port/login?userid=alice&gmi=$valid" ;;
    "front-off valid") echo "http://127.0.0.1:$front_off_port/login?userid=alice&gmi=$valid" ;;
    "front-tls valid" | "front-h2 valid")
      echo "https://127.0.0.1:$front_tls_port/login?userid=alice&gmi=$valid" ;;
    "authz valid") echo "http://127.0.0.1:$authz_port/auth" ;;
    "authz-off valid") echo "http://127.0.0.1:$authz_off_port/auth" ;;
  esac
}
# Headers of a target's requests, one a line: a proxy's decision request.
target_headers() {
  [[ "$1 $2" == "authz valid" || "$1 $2" == "authz-off valid" ]] || return 0
  printf '%s\n' "Authorization: Bearer $valid" "X-GMI-User: alice"
}

for count in $connections; do
  # Rounds interleave the targets, so that a slow patch of the machine
  # weighs on all of them alike.
  runs=$(for round in $(seq "$rounds"); do
    for target in "${targets[@]}"; do
      mapfile -t headers < <(target_headers $target)
      if [[ $target == "front-h2 valid" ]]; then
        echo "$target $(measure_h2 "$(target_url $target)" "$count")"
      else
        echo "$target $(measure "$(target_url $target)" "$count" "${headers[@]}")"
      fi
    done
  done)
  declare -A result=()
  for target in "${targets[@]}"; do
    result[$target]=$(grep "^$target " <<<"$runs" | cut -d' ' -f3- | median_run)
  done
  base_rps=${result["baseline -"]%% *}
  nginx_rps=${result["nginx -"]%% *}
  for target in "baseline -" "nginx -" "service valid" "service invalid" "front valid" \
                "front-off valid" "front-tls valid" "front-h2 valid" "authz valid" "authz-off valid"; do
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
  echo "gmi-authz with its access log and throttle: $(ratio "${result["authz valid"]%% *}" \
    "${result["authz-off valid"]%% *}") of its rate with both off"
  front_rps=${result["front valid"]%% *}
  echo "front with its access log and throttle: $(ratio "$front_rps" "${result["front-off valid"]%% *}")" \
    "of its rate with both off (goal 0.95)"
  echo "front over TLS: HTTP/1.1 $(ratio "${result["front-tls valid"]%% *}" "$front_rps")" \
    "(goal 0.85), HTTP/2 with $h2_streams streams a connection" \
    "$(ratio "${result["front-h2 valid"]%% *}" "$front_rps") (goal 1.0) of the plain front's rate"
done

# beside MEASURE URL LOG COMMAND...: MEASURE's figures at 64 connections
# alone (alone_rps, alone_p99), then while COMMAND runs, its output in LOG
# (rps, p50, p99, err). COMMAND is given a second to get going first.
beside() {
  local measure=$1 url=$2 log=$3
  shift 3
  read -r alone_rps _ alone_p99 _ <<<"$("$measure" "$url" 64)"
  "$@" >"$log" &
  local disturber=$!
  sleep 1
  read -r rps p50 p99 err <<<"$("$measure" "$url" 64)"
  wait "$disturber"
}

# --- HTTP/2 clients resetting streams ----------------------------------------
# The HTTP/2 row at 64 connections again, alone and while 4 more
# connections open and reset streams in a loop: what such a client costs the
# others. The flooding script takes a core of its own meanwhile.
beside measure_h2 "$(target_url front-h2 valid)" "$work/flood.log" \
  python3 "$root/bench/h2_reset_flood.py" 127.0.0.1 "$front_tls_port" /login \
  $(( seconds + 2 )) 4
echo "front-h2,flooded,64,$rps,$p50,$p99,$err,," >>"$csv"
echo "HTTP/2 at 64 connections beside a client resetting streams in a loop:" \
  "$rps requests/s, p99 $p99 ms, $err errors: $(ratio "$rps" "$alone_rps") of its rate" \
  "alone ($alone_rps, p99 $alone_p99 ms); the flooder: $(cat "$work/flood.log")"

# --- clients whose tokens fail ----------------------------------------------
# A client at full speed with 2% invalid tokens, for the throttle's own
# production figures and longer than its 10-s window many times: never
# refused (a 429 would show as a non-2xx error).
mixed=$(wrk -t 2 -c 64 -d "${mixed_seconds}s" --timeout 10s \
  -s "$root/tests/system/harness/wrk_mixed_tokens.lua" "http://127.0.0.1:$front_port" \
  -- "$valid" "${valid}x" 50)
mixed_requests=$(awk '/requests in/ {print $1}' <<<"$mixed")
mixed_refused=$(grep -c '"status":429' "$work/front/haproxy.log" || true)
mixed_invalid=$(grep -c '"is_valid":false' "$work/front/haproxy.log" || true)
mixed_non2xx=$(awk '/Non-2xx/ {print $NF}' <<<"$mixed")
echo "a client with 2% invalid tokens, 64 connections, ${mixed_seconds} s:" \
  "$mixed_requests requests, $mixed_invalid invalid, ${mixed_non2xx:-0} not 2xx," \
  "$mixed_refused refused (goal 0)"
echo "front-mixed,2pct-invalid,64,${mixed_requests},,,${mixed_non2xx:-0},," >>"$csv"

# The plain front's rate at 64 connections alone, then while a client at
# 127.0.0.2 keeps sending invalid tokens and is refused.
beside measure "$(target_url front valid)" "$work/refused.log" \
  python3 "$root/bench/refused_client.py" 127.0.0.2 "$front_port" "$valid" \
  $(( seconds + 2 ))
echo "front,beside-refused,64,$rps,$p50,$p99,$err,," >>"$csv"
echo "front at 64 connections beside a refused client: $rps requests/s, p99 $p99 ms," \
  "$err errors: $(ratio "$rps" "$alone_rps") of its rate alone ($alone_rps, p99 $alone_p99 ms;" \
  "goal 0.95); the refused client's answers: $(cat "$work/refused.log")"

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
