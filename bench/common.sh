# Helpers shared by bench/run.sh and bench/soak.sh (sourced, not run).

# Instances and tokens use the public development key.
export AUTHSRV_KEYS=development

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null ||
    shuf -i 20000-59999 -n 1
}

wait_for_port() {
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}
