# Shared by the scripts that start the program's servers (sourced, not run): process
# clean-up, receiver-sim on the program's fixed port 19996 (shared with other tests, so
# every start waits for it to be free, bounded), and lighttpd serving the program.
# The sourcing script sets $root (the repository), $bin (where the programs are), $work (a
# scratch folder) and $port (lighttpd's port), defines die(), and installs the EXIT trap
# that calls cleanup.
# shellcheck shell=bash
# shellcheck disable=SC2154  # root, bin, work and port come from the sourcing script

SIM_PORT=19996
sim_pid=""
httpd_pid=""

stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_pid "$httpd_pid"
  stop_pid "$sim_pid"
  httpd_pid=""
  sim_pid=""
}

port_busy() {
  local rc=0
  timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null || rc=$?
  [ "$rc" -eq 0 ] || [ "$rc" -eq 124 ]
}

# Waits (bounded) until nobody listens on the fixed port: it is shared with other tests.
wait_port_free() {
  local deadline=$((SECONDS + 300))
  while port_busy "$SIM_PORT"; do
    [ $SECONDS -lt $deadline ] || die "port $SIM_PORT stayed busy for 5 minutes"
    sleep 1
  done
}

# Starts receiver-sim on the fixed port with the given extra options and waits for it.
start_sim() {
  stop_pid "$sim_pid"
  sim_pid=""
  local deadline=$((SECONDS + 300)) ready="$work/sim.ready"
  while :; do
    wait_port_free
    rm -f "$ready"
    "$bin/receiver-sim" --port "$SIM_PORT" --ready-file "$ready" --quiet "$@" 2>>"$work/sim.log" &
    sim_pid=$!
    for _ in $(seq 100); do
      [ -s "$ready" ] && return 0
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_pid "$sim_pid"
    sim_pid=""
    # Someone took the port between the check and the bind: wait and try again.
    [ $SECONDS -lt $deadline ] || { cat "$work/sim.log" >&2; die "receiver-sim did not start"; }
    sleep 1
  done
}

stop_sim() {
  stop_pid "$sim_pid"
  sim_pid=""
}

start_httpd() {
  port_busy "$port" && die "port $port is busy: pick another with --port"
  "$root/web/configure-lighttpd" --cgi "$bin/screenreceiver.cgi" --state-dir "$work/lighttpd" \
    --port "$port" --out "$work/lighttpd.conf"
  lighttpd -D -f "$work/lighttpd.conf" >"$work/lighttpd.out" 2>&1 &
  httpd_pid=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/" && return 0
    kill -0 "$httpd_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/lighttpd.out" "$work/lighttpd/error.log" >&2 2>/dev/null || true
  die "lighttpd did not come up on port $port"
}
