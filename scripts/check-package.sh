#!/usr/bin/env bash
# Builds the Debian package and checks it the way an operator will use it:
# lintian, its contents, the units' verification and exposure scores, then a
# real install on this machine, the installed server run as its unit says,
# a token minted by the installed gmi-token, the unit's stop, and a purge.
# Also checks the tree `make install DESTDIR=... PREFIX=/usr` lays out.
#
# It installs and purges the gmi-server package, so it is meant for a
# throwaway root such as CI (.ci/run); it runs again on the same machine.
# The last line says OK or what failed; the exit status is 0 only for OK.
set -Eeuo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d /tmp/gmi-check-package.XXXXXX)
server_pid=""
authz_pid=""

# To stderr, so that a failure inside $(...) is seen, not captured.
fail() {
  echo "check-package: FAILED: $*" >&2
  exit 1
}

clean_up() {
  [[ -n $authz_pid ]] && kill "$authz_pid" 2>/dev/null
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap clean_up EXIT
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

step() { echo "== $*"; }

[[ $(id -u) -eq 0 ]] || fail "run as root: the package is installed and purged"
scripts/install-deps.sh deb

# The files the package must hold, and nothing else: no test, double, fuzz
# or benchmark binary. Directories are not listed.
expected_package_files() {
  cat <<'EOF'
./lib/systemd/system/gmi-authz@.service
./lib/systemd/system/gmi-server@.service
./usr/bin/gmi-token
./usr/lib/gmi-server/gmi-server-quit
./usr/lib/gmi-server/libAuthSrv.so
./usr/sbin/gmi-authz
./usr/sbin/gmi-server
./usr/share/doc/gmi-server/README.authsrv.md.gz
./usr/share/doc/gmi-server/README.md.gz
./usr/share/doc/gmi-server/changelog.gz
./usr/share/doc/gmi-server/copyright
./usr/share/doc/gmi-server/examples/caddy/gmi-authz.caddy
./usr/share/doc/gmi-server/examples/gmi-fleet
./usr/share/doc/gmi-server/examples/haproxy/gmi-instance-address.lua
./usr/share/doc/gmi-server/examples/haproxy/gmi-instances.cfg
./usr/share/doc/gmi-server/examples/haproxy/gmi-server.cfg
./usr/share/doc/gmi-server/examples/nginx/gmi-authz-protect.conf
./usr/share/doc/gmi-server/examples/nginx/gmi-authz.conf
./usr/share/doc/gmi-server/examples/prometheus/gmi-alerts.yml
./usr/share/man/man1/gmi-token.1.gz
./usr/share/man/man8/gmi-authz.8.gz
./usr/share/man/man8/gmi-server.8.gz
EOF
}

# What `make install DESTDIR=... PREFIX=/usr` lays out: the same programs,
# library, pages and documents, without the package's own files.
expected_install_files() {
  cat <<'EOF'
usr/bin/gmi-token
usr/lib/gmi-server/gmi-server-quit
usr/lib/gmi-server/libAuthSrv.so
usr/sbin/gmi-authz
usr/sbin/gmi-server
usr/share/doc/gmi-server/README.authsrv.md
usr/share/doc/gmi-server/README.md
usr/share/doc/gmi-server/examples/caddy/gmi-authz.caddy
usr/share/doc/gmi-server/examples/gmi-fleet
usr/share/doc/gmi-server/examples/haproxy/gmi-instance-address.lua
usr/share/doc/gmi-server/examples/haproxy/gmi-instances.cfg
usr/share/doc/gmi-server/examples/haproxy/gmi-server.cfg
usr/share/doc/gmi-server/examples/nginx/gmi-authz-protect.conf
usr/share/doc/gmi-server/examples/nginx/gmi-authz.conf
usr/share/doc/gmi-server/examples/prometheus/gmi-alerts.yml
usr/share/man/man1/gmi-token.1
usr/share/man/man8/gmi-authz.8
usr/share/man/man8/gmi-server.8
EOF
}

same_list() {  # $1: what, $2: expected file, $3: actual file
  diff -u "$2" "$3" || fail "$1 differs from the expected list (- expected, + found)"
}

# A port whose next two are free as well (gmi-authz takes port+1, port+2).
free_port_triple() {
  local port
  for ((port = 61200; port < 61800; port += 3)); do
    if ! (: <"/dev/tcp/127.0.0.1/$port") 2>/dev/null &&
       ! (: <"/dev/tcp/127.0.0.1/$((port + 1))") 2>/dev/null &&
       ! (: <"/dev/tcp/127.0.0.1/$((port + 2))") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
  fail "no free ports between 61200 and 61800"
}

# The value of KEY= in a unit file, with the instance and main PID filled
# in and systemd's "$$" unescaped, as systemd would run it.
unit_line() {  # $1: unit file, $2: key, $3: instance, $4: main PID
  local value
  value=$(sed -n "s/^$2=//p" "$1")
  [[ -n $value ]] || fail "$1 has no $2="
  value=${value//%i/$3}
  value=${value//\$\{MAINPID\}/$4}
  echo "${value//\$\$/\$}"
}

wait_for_port() {  # $1: port, $2: pid that must stay alive
  for ((tenths = 0; tenths < 100; ++tenths)); do
    (: <"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return
    kill -0 "$2" 2>/dev/null || fail "process $2 ended before listening on $1"
    sleep 0.1
  done
  fail "nothing listens on $1 after 10 s"
}

expect_body() {  # $1: what, $2: expected body, $3...: curl arguments
  local body
  body=$(curl -sS --max-time 5 "${@:3}")
  [[ $body == "$2" ]] || fail "$1: expected '$2', got '$body'"
  echo "$1: $body"
}

# Runs a unit's command line ($1) as systemd would: in the environment given
# by the further arguments only, nothing inherited, under mdwe_prefix.
run_as_unit() {
  local command=$1
  shift
  eval "exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \"\$@\" \"\${mdwe_prefix[@]}\" $command"
}

# The prefix that sets PR_SET_MDWE (refuse writable-executable memory, the
# kernel's form of systemd's MemoryDenyWriteExecute) where the kernel has it.
mdwe_prefix=()
if perl -e 'require "syscall.ph"; syscall(SYS_prctl(), 65, 1, 0, 0, 0) == 0 or exit 1' 2>/dev/null; then
  mdwe_prefix=(perl -e 'require "syscall.ph";
    syscall(SYS_prctl(), 65, 1, 0, 0, 0) == 0 or die "prctl: $!\n"; exec @ARGV or die "exec: $!\n"' --)
fi

step "make deb"
make --no-print-directory deb | tee "$work/make-deb.log"
deb=$(tail -n 1 "$work/make-deb.log")
[[ -f $deb ]] || fail "make deb did not leave a package (last line: $deb)"
echo "$deb"

step "lintian $deb"
lintian --fail-on error,warning --display-info "$deb" | tee "$work/lintian" ||
  fail "lintian reports errors or warnings"
echo "lintian: $(grep -c '^[EWI]:' "$work/lintian" || true) tags"

step "dpkg-deb -c $deb"
dpkg-deb -c "$deb" >"$work/contents"
awk '$1 !~ /^d/ { print $6 }' "$work/contents" | sort >"$work/package-files"
expected_package_files >"$work/expected-package-files"
same_list "the package's files" "$work/expected-package-files" "$work/package-files"
grep -q '^-rw-r--r-- root/root .* ./usr/lib/gmi-server/libAuthSrv.so$' "$work/contents" ||
  fail "libAuthSrv.so is not mode 0644, owned by root, in the package"
echo "contents as expected ($(wc -l <"$work/package-files") files)"

step "make install DESTDIR=... PREFIX=/usr"
make --no-print-directory install DESTDIR="$work/destdir" PREFIX=/usr >/dev/null
(cd "$work/destdir" && find . -type f -o -type l | sed 's|^\./||' | sort) >"$work/install-files"
expected_install_files >"$work/expected-install-files"
same_list "the installed tree" "$work/expected-install-files" "$work/install-files"
echo "layout as expected ($(wc -l <"$work/install-files") files)"

step "install the package"
if dpkg-query -W -f='${Status}' gmi-server 2>/dev/null | grep -q 'ok installed'; then
  apt-get purge -y -qq gmi-server >/dev/null
fi
rm -f /etc/default/gmi-server
apt-get install -y -qq "./$deb" >/dev/null
key_file=/etc/default/gmi-server
[[ $(stat -c '%a %U' "$key_file") == "600 root" ]] || fail "$key_file is not mode 0600, owned by root"
grep -Eq '^AUTHSRV_KEYS=1:[0-9a-f]{64}$' "$key_file" || fail "$key_file holds no generated key"
cp "$key_file" "$work/key-file"
apt-get install -y -qq --reinstall "./$deb" >/dev/null
cmp -s "$key_file" "$work/key-file" || fail "reinstalling changed $key_file"
echo "$key_file: mode 0600, a random key, kept on reinstall"

server_unit=/lib/systemd/system/gmi-server@.service
authz_unit=/lib/systemd/system/gmi-authz@.service

step "systemd-analyze verify and security"
for unit in "$server_unit" "$authz_unit"; do
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
  score=$(systemd-analyze security --offline=true "$unit" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  [[ -n $score ]] || fail "no exposure score for $unit"
  awk -v s="$score" 'BEGIN { exit !(s <= 1.5) }' || fail "$unit exposure $score is above 1.5"
  echo "$unit: verified, exposure $score (bound 1.5)"
done

step "the HAProxy example as installed"
examples=/usr/share/doc/gmi-server/examples
# The package ships no certificate: development ones stand in.
scripts/dev-certs.sh "$work/tls"
FRONT_ADMIN_SOCKET="$work/admin.sock" FRONT_CERT="$work/tls/server.pem" \
  FRONT_ADMIN_CA="$work/tls/ca.pem" FRONT_LUA="$examples/haproxy/gmi-instance-address.lua" \
  haproxy -c -q -f "$examples/haproxy/gmi-server.cfg" -f "$examples/haproxy/gmi-instances.cfg" ||
  fail "haproxy -c refuses the installed example"
[[ -x $examples/gmi-fleet ]] || fail "$examples/gmi-fleet is not executable"
echo "haproxy -c accepts $examples/haproxy/gmi-server.cfg with gmi-instances.cfg"

step "run the installed server as $server_unit says"
port=$(free_port_triple)
directory=$(unit_line "$server_unit" WorkingDirectory "$port" "")
environment_file=$(unit_line "$server_unit" EnvironmentFile "$port" "")
environment_file=${environment_file#-}
start_command=$(unit_line "$server_unit" ExecStart "$port" "")
# Only the environment file's settings, as under systemd: none inherited.
mapfile -t settings < <(grep -E '^[A-Z_]+=' "$environment_file")
(cd "$directory" && run_as_unit "$start_command" "${settings[@]}") >"$work/server.out" 2>&1 &
server_pid=$!
wait_for_port "$port" "$server_pid"
echo "$start_command in $directory with $environment_file: pid $server_pid, port $port"
if [[ ${#mdwe_prefix[@]} -gt 0 ]]; then
  echo "running under PR_SET_MDWE (MemoryDenyWriteExecute)"
else
  echo "this kernel lacks PR_SET_MDWE: only its memory map is checked for writable code"
fi
if awk '$2 ~ /w.x/ { found = 1 } END { exit !found }' "/proc/$server_pid/maps"; then
  fail "the server maps writable executable memory"
fi

step "a token minted by the installed gmi-token"
token=$(env -i "${settings[@]}" /usr/bin/gmi-token --user alice)
development_token=$(env -i AUTHSRV_KEYS=development /usr/bin/gmi-token --user alice)
base="http://127.0.0.1:$port/login?userid=alice&gmi="
expect_body "generated key" '{"is_valid":true,"reason":""}' "$base$token"
expect_body "development key" '{"is_valid":false,"reason":"ERROR_BAD_CHECKSUM"}' "$base$development_token"

step "run the installed gmi-authz as $authz_unit says"
authz_command=$(unit_line "$authz_unit" ExecStart "$port" "")
(run_as_unit "$authz_command") >"$work/authz.out" 2>&1 &
authz_pid=$!
wait_for_port "$((port + 2))" "$authz_pid"
decision=$(curl -sS --max-time 5 -o /dev/null -w '%{http_code}' \
  -H "Authorization: Bearer $token" -H 'X-GMI-User: alice' "http://127.0.0.1:$((port + 1))/")
[[ $decision == 200 ]] || fail "gmi-authz answered $decision for a valid token"
decision=$(curl -sS --max-time 5 -o /dev/null -w '%{http_code}' \
  -H "Authorization: Bearer $development_token" -H 'X-GMI-User: alice' "http://127.0.0.1:$((port + 1))/")
[[ $decision == 401 ]] || fail "gmi-authz answered $decision for a development-key token"
kill -TERM "$authz_pid"
authz_status=0
wait "$authz_pid" || authz_status=$?
authz_pid=""
[[ $authz_status -eq 0 ]] || fail "gmi-authz exited $authz_status after SIGTERM"
echo "gmi-authz on $((port + 1)): 200 for the generated key, 401 for the development key; SIGTERM, status 0"

step "the unit's stop command"
stop_command=$(unit_line "$server_unit" ExecStop "$port" "$server_pid")
$stop_command || fail "$stop_command exited $?"
# It returns only once the service has exited (at most a zombie is left),
# or systemd would go on to SIGTERM.
state=$(awk '{ print $3 }' "/proc/$server_pid/stat" 2>/dev/null || true)
[[ -z $state || $state == Z ]] || fail "the server still runs (state $state) after the stop command returned"
server_status=0
wait "$server_pid" || server_status=$?
server_pid=""
tail -n 3 "$work/server.out"
[[ $server_status -eq 0 ]] || fail "the server exited $server_status"
[[ $(tail -n 3 "$work/server.out") == $'[Server] Stopped\n[Server] CleanupAuth()\n[Server] Exit' ]] ||
  fail "the server's console does not end with its teardown"
echo "$stop_command: teardown complete, status 0"

step "purge"
apt-get purge -y -qq gmi-server >/dev/null
[[ ! -e $key_file ]] || fail "$key_file is still there after purge"
while read -r file; do
  [[ ! -e ${file#.} ]] || fail "${file#.} is still there after purge"
done <"$work/package-files"
! dpkg-query -W -f='${Status}' gmi-server 2>/dev/null | grep -q 'ok installed' ||
  fail "gmi-server is still installed"
echo "the package's files and $key_file are gone"

echo "check-package: OK ($deb; lintian clean; exposure within 1.5; install, run, stop and purge checked)"
