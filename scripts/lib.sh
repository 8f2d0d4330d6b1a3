# shellcheck shell=bash
# Functions shared by the project's shell scripts. A script sources this file by a path
# found from its own place, then names itself for its messages:
#   . "$(dirname "$0")/lib.sh"      (bench/ and tests/*/ reach scripts/ the same way)
#   lib_init NAME [STATUS]          messages start "NAME: "; die exits with STATUS (default 2)
# It only defines functions and variables: the caller's shell options stay as they are, and
# it works from any folder.

# The source tree, whatever the caller's folder.
lib_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The receiver service's port: the CGI program always connects to 127.0.0.1:19996.
# shellcheck disable=SC2034  # used by the scripts that source this file
SIM_PORT=19996
# A command prefix: what follows runs in a network namespace of its own with the loopback
# up, so the service's fixed port is shared with nothing else on the machine.
# shellcheck disable=SC2034
IN_NETNS=(unshare -n sh -c 'ip link set lo up && exec "$@"' sh)

lib_name=${0##*/}
lib_status=2
lib_init() { lib_name=$1; lib_status=${2:-2}; }

# ---- messages and arguments ---------------------------------------------------------
# "NAME: message" on standard error, then exit with the script's STATUS.
die() { echo "$lib_name: $*" >&2; exit "$lib_status"; }
# The script's help: the comment block below its first line, without the "# ".
usage() { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; }
# A heading with the seconds since the script started.
step() { echo "=== $lib_name (${SECONDS} s): $*"; }
# While parsing "--option VALUE": called with the arguments left, "$@".
need_value() { [ $# -ge 2 ] || die "$1 needs a value"; }
need_number() { need_value "$@"; [[ "$2" =~ ^[0-9]+$ ]] || die "$1 needs a number, not '$2'"; }
# PATH made absolute against the current folder.
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
# Dies unless each command is installed.
need_commands() {
  local c
  for c in "$@"; do
    command -v "$c" >/dev/null || die "$c is not installed (run scripts/setup-deps)"
  done
}
# Dies unless each program is an executable in DIR, saying what to do about it (HOW).
need_programs() { # dir, how, programs...
  local dir=$1 how=$2 p
  shift 2
  for p in "$@"; do [ -x "$dir/$p" ] || die "$dir/$p is missing: $how"; done
}

# ---- packages -----------------------------------------------------------------------
# Runs a command as root: directly when root already (CI has no terminal), else by sudo.
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
# apt-get as root and without questions. Another apt user on the machine holds the lock
# for a while at most: it is waited for. Unpacking without an fsync per file halves the
# time of large header packages.
apt_get() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
    -o Dpkg::Options::=--force-unsafe-io -qq "$@"
}
# A list that fails to download (a mirror in sync, a foreign architecture's lists) need
# not stop the caller: apt says clearly later if a package is then missing.
apt_update() {
  apt_get update || echo "$lib_name: apt-get update failed; going on with the lists there are" >&2
}
# True when the package (NAME, NAME:ARCH, or a pattern such as "*:ARCH") is installed.
installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# Makes dpkg know the foreign architectures given (their lists come with the next update).
add_archs() {
  local a
  for a in "$@"; do
    dpkg --print-foreign-architectures | grep -qx "$a" && continue
    echo "$lib_name: adding the $a architecture to dpkg"
    as_root dpkg --add-architecture "$a"
  done
}
# Takes out again each architecture given of which nothing is installed, so that its lists
# (which may be what failed) do not make every later apt-get update fail.
drop_unused_archs() {
  local a
  for a in "$@"; do installed "*:$a" || as_root dpkg --remove-architecture "$a"; done
}

# What the tests in a browser need: the Debian packages (scripts/setup-deps browser) and
# the npm packages that tests/browser/package-lock.json pins, installed by npm ci whenever
# node_modules does not hold those versions.
browser_deps() {
  "$lib_root/scripts/setup-deps" browser
  (
    cd "$lib_root/tests/browser" || exit
    node -e 'const pins = (f) => Object.entries(require(f).packages).filter(([k]) => k).map(([k, v]) => k + v.version);
      process.exit(String(pins("./package-lock.json")) === String(pins("./node_modules/.package-lock.json")) ? 0 : 1)' \
      2>/dev/null || npm ci --no-audit --no-fund --loglevel=error
  )
}

# ---- building -----------------------------------------------------------------------
# Builds the TARGETs (none: everything) in the build tree DIR, all output to LOG. DIR is
# configured first with the cmake OPTIONs when it has no CMakeCache.txt yet, or always
# with --configure. Runs JOBS compile jobs (default: one per CPU). On failure shows the
# log's end and dies.
#   build_or_die [--configure] DIR LOG OPTION... -- TARGET...
build_or_die() {
  local always=0 dir log options=() targets=() hint=""
  [ "$1" != --configure ] || { always=1; shift; }
  dir=$1 log=$2
  shift 2
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  [ $# -eq 0 ] || shift
  [ $# -eq 0 ] || targets=(--target "$@")
  [[ " $* " != *" receiver-sim "* ]] ||
    hint="; a build tree configured with BUILD_SIM=OFF has no receiver-sim"
  mkdir -p "$(dirname "$log")"
  step "building ${*:-everything} in $dir (log: $log)"
  if ! {
    if [ $always -eq 1 ] || [ ! -f "$dir/CMakeCache.txt" ]; then
      cmake -S "$lib_root" -B "$dir" "${options[@]}"
    fi
    cmake --build "$dir" -j "${JOBS:-$(nproc)}" "${targets[@]}"
  } >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    die "build failed (full log: $log$hint)"
  fi
}

# ---- ARM programs -------------------------------------------------------------------
# The GNU triple of a Debian ARM architecture: the cross tools' prefix and folder.
triple_of() {
  case "$1" in
    arm64) echo aarch64-linux-gnu ;;
    armhf) echo arm-linux-gnueabihf ;;
    *) die "not an ARM architecture: '$1'" ;;
  esac
}
# Sets qemu_cmd to the words that run a program of ARCH (arm64, armhf) under qemu-user:
# "${qemu_cmd[@]}" PROGRAM ARG..., or CGI_LAUNCHER="${qemu_cmd[*]}" for the integration
# tests. The program needs the target's loader and C library. When the target's C library
# is installed through multiarch, qemu finds both at their usual paths and is given no
# other copy: with the cross compiler's copy as well (-L), its loader would load the
# installed C library of another build, and the program crashes or hangs. Otherwise -L
# points qemu at the cross compiler's copy.
qemu_command() { # arch
  local loader
  case "$1" in
    arm64) qemu_cmd=(qemu-aarch64) loader=/lib/ld-linux-aarch64.so.1 ;;
    armhf) qemu_cmd=(qemu-arm) loader=/lib/ld-linux-armhf.so.3 ;;
    *) die "not an ARM architecture: '$1'" ;;
  esac
  [ -e "$loader" ] || qemu_cmd+=(-L "/usr/$(triple_of "$1")")
}

# ---- processes ----------------------------------------------------------------------
# Stops a process this script started: TERM, up to 5 s to end, then KILL; and reaps it.
# An empty PID does nothing. NAME is for the notice when it has to be killed.
stop_pid() { # pid [name]
  local pid=$1 name=${2:-process $1}
  [ -n "$pid" ] || return 0
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
      echo "$lib_name: $name did not stop within 5 s; killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  wait "$pid" 2>/dev/null || true
}
# Runs the function CLEANUP once when the script ends: at its exit, or on Ctrl-C (then
# exit 130) or TERM (exit 143).
at_exit() { # cleanup function
  # shellcheck disable=SC2064  # the names are fixed now
  trap "lib_exit $1" EXIT
  # shellcheck disable=SC2064
  trap "echo; echo '$lib_name: stopping'; lib_exit $1; exit 130" INT
  # shellcheck disable=SC2064
  trap "lib_exit $1; exit 143" TERM
}
# shellcheck disable=SC2317  # called from the traps
lib_exit() { trap - EXIT INT TERM; "$1"; }

# True when something accepts (or holds, without accepting) connections on the port.
port_busy() {
  local rc=0
  timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null || rc=$?
  [ "$rc" -eq 0 ] || [ "$rc" -eq 124 ]
}
# Waits up to SECS seconds for the receiver service's port to be free; dies if it is not.
wait_sim_port() { # seconds
  local deadline=$((SECONDS + $1))
  while port_busy "$SIM_PORT"; do
    [ $SECONDS -lt $deadline ] || die "port $SIM_PORT is busy: another receiver service" \
      "(or a test) is using it; try again later or pass --wait-port SECS"
    sleep 1
  done
}
# Starts receiver-sim (PROGRAM, with OPTIONs and a ready file) in the background, its
# standard error to LOG, and sets sim_pid. Dies, showing the log, unless it listens
# within 10 s.
start_sim() { # program, ready file, log, options...
  local program=$1 ready=$2 log=$3
  shift 3
  rm -f "$ready"
  "$program" --ready-file "$ready" "$@" 2>"$log" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$ready" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$log" >&2
  die "receiver-sim did not come up (port taken meanwhile? log above: $log)"
}
# Checks the lighttpd configuration CONF, starts lighttpd with it in the background (its
# output to OUT) and sets httpd_pid. Dies, showing OUT and the ERROR_LOG, unless it
# answers on PORT within 10 s.
start_lighttpd() { # conf, out, error log, port
  lighttpd -tt -f "$1" >"$2" 2>&1 || { cat "$2" >&2; die "lighttpd rejects $1"; }
  lighttpd -D -f "$1" >>"$2" 2>&1 &
  httpd_pid=$!
  for _ in $(seq 100); do
    kill -0 "$httpd_pid" 2>/dev/null || break
    curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$4/" && return 0
    sleep 0.1
  done
  cat "$2" "$3" >&2 2>/dev/null || true
  die "lighttpd did not come up on port $4"
}

# ---- measurements -------------------------------------------------------------------
# The machine and its load before a measurement; load_after, its load after.
describe_machine() {
  echo "machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1)," \
    "$(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) RAM;" \
    "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
}
load_after() { echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"; }
