#!/usr/bin/env bash
# Soak: the optimised service under mixed valid and invalid /login load from
# wrk (bench/soak.lua), its console going to a file as in production, then
# checks that nothing was lost, invented or leaked:
#   - every answer is the one its request must get;
#   - /log's request_count and invalid_count equal the answers wrk received,
#     give or take the requests still in flight when wrk stopped (at most one
#     per connection) and those whose connection failed after sending (a
#     read, write or time-out error; a failed connect sends nothing);
#   - the console holds one request line per counted request and one invalid
#     line per counted invalid answer, and no line of any other kind;
#   - resident memory at the end is not above the reading after warm-up by
#     more than the slack;
#   - /quit ends the process with status 0.
# Prints one summary line and exits 1 if any check fails.
# Usage: bench/soak.sh BUILD_DIR
#
# SOAK_SECONDS         length of the measured run (default 60)
# SOAK_WARMUP_SECONDS  load before the first memory reading, added to the
#                      run (default 10)
# SOAK_CONNECTIONS     wrk connections (default 64)
# SOAK_RSS_SLACK_KIB   allowed growth of resident memory (default 2048): the
#                      console writer may hold up to 1 MiB of lines behind a
#                      slow reader and keeps its buffers at their largest, so
#                      one busy moment can raise memory once by about that;
#                      a leak of 2 bytes a request exceeds it within a
#                      default run
set -euo pipefail

build=$(cd "${1:?usage: bench/soak.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${SOAK_SECONDS:-60}
warmup=${SOAK_WARMUP_SECONDS:-10}
connections=${SOAK_CONNECTIONS:-64}
slack=${SOAK_RSS_SLACK_KIB:-2048}
source "$root/bench/common.sh"

work=$(mktemp -d /tmp/gmi-soak-XXXXXX)
cleanup() {  # the service and wrk, if still running
  local running
  running=$(jobs -p)
  if [[ -n $running ]]; then kill $running 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(free_port)
cp "$build/libAuthSrv.so" "$work/"
(cd "$work" && exec "$build/gmi-server" "$port" >console.log) &
service_pid=$!
wait_for_port "$port"
token=$("$build/gmi-token" --user alice --ttl 86400)

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$service_pid/status"; }

# One wrk run, so that at most one request per connection is in flight when
# it stops; memory is first read once the warm-up part of it is over.
wrk -t 2 -c "$connections" -d "$((warmup + seconds))s" --timeout 10s \
  -s "$root/bench/soak.lua" "http://127.0.0.1:$port" -- "$token" >"$work/wrk.out" &
wrk_pid=$!
sleep "$warmup"
rss_warm=$(rss_kib)
wait "$wrk_pid"
rss_end=$(rss_kib)
read -r _ answered valid invalid missing unexpected connect_errors lost \
  < <(grep '^soak-answers ' "$work/wrk.out") ||
  { echo "soak FAIL: wrk gave no figures" >&2; exit 1; }

# Connections wrk left queued behind busy workers are still served after it
# has gone: read the counts once they have stopped moving.
log_counts() {
  curl -s "http://127.0.0.1:$port/log" |
    sed -n 's/.*"request_count":\([0-9]*\).*"invalid_count":\([0-9]*\).*/\1 \2/p'
}
counts=$(log_counts)
for _ in $(seq 20); do
  sleep 0.5
  previous=$counts counts=$(log_counts)
  [[ $counts != "$previous" ]] || break
done
read -r counted counted_invalid <<<"$counts"

# /quit, then up to 15 s for the teardown.
curl -s "http://127.0.0.1:$port/quit" >/dev/null
for _ in $(seq 300); do
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.05
done
if kill -0 "$service_pid" 2>/dev/null; then
  exit_status="none (still running 15 s after /quit)"
else
  wait "$service_pid" && exit_status=0 || exit_status=$?
fi

console=$work/console.log
lines() { grep -cx "$1" "$console" || true; }
request_lines=$(lines '\[Server\] Get GET request to /login')
invalid_lines=$(lines '\[Server\] Invalid Auth\. information with input data')
# Every line must be one the service writes; anything else (a gap notice, a
# line cut or run together with another) counts as stray.
stray_lines=$(grep -cvx \
  -e '\[SERVER\] GetAuthVersion() [0-9]*' -e '\[Server\] Started (port : [0-9]*)' \
  -e '\[Server\] Get GET request to /login' \
  -e "\[Server\] GMI in parameters : $token" \
  -e '\[Server\] GMI in parameters : GMI1\.not\.a\.token' \
  -e '\[Server\] Valid GMI with input data' \
  -e '\[Server\] Invalid Auth\. information with input data' \
  -e '\[Server\] Stopped' -e '\[Server\] CleanupAuth()' -e '\[Server\] Exit' \
  "$console" || true)
last_line=$(tail -n 1 "$console")

failures=()
in_flight_bound=$((connections + lost))
within_bound() { [[ -n $1 && $1 -ge $2 && $(($1 - $2)) -le $in_flight_bound ]]; }
[[ $unexpected -eq 0 && $answered -eq $((valid + invalid + missing)) ]] ||
  failures+=(answers)
within_bound "$counted" "$answered" && within_bound "$counted_invalid" "$invalid" ||
  failures+=(counts)
[[ $request_lines == "$counted" && $invalid_lines == "$counted_invalid" &&
   $stray_lines -eq 0 && $last_line == "[Server] Exit" ]] || failures+=(console)
[[ $rss_end -le $((rss_warm + slack)) ]] || failures+=(memory)
[[ $exit_status == 0 ]] || failures+=(exit)

verdict=PASS
[[ ${#failures[@]} -eq 0 ]] || verdict="FAIL (${failures[*]})"
echo "soak $verdict: ${seconds} s after ${warmup} s warm-up at ${connections} connections;" \
  "wrk answers $answered (valid $valid, invalid $invalid, missing $missing," \
  "unexpected $unexpected), socket errors: connect $connect_errors, after sending $lost;" \
  "/log request_count ${counted:-?} (+$((${counted:-0} - answered)))," \
  "invalid_count ${counted_invalid:-?} (+$((${counted_invalid:-0} - invalid))), bound +$in_flight_bound;" \
  "console request lines $request_lines, invalid lines $invalid_lines, stray lines $stray_lines;" \
  "rss $rss_warm KiB after warm-up, $rss_end KiB at end (+$((rss_end - rss_warm)), slack $slack);" \
  "exit status $exit_status"
[[ ${#failures[@]} -eq 0 ]]
