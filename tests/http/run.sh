#!/usr/bin/env bash
# HTTP tests of the deployed set-up: lighttpd (from web/lighttpd.conf.in) serving the page
# and the CGI program, which talks to receiver-sim on 127.0.0.1:19996. Checks what a
# browser relies on: methods, headers, reply bodies, effects on the service, and how a
# service that never answers shows up.
#   tests/http/run.sh [--bin-dir DIR] [--port N]
# --bin-dir  where screenreceiver.cgi and receiver-sim are (default build/bin)
# --port     lighttpd port for the test (default 18081)
# Needs lighttpd and curl. Port 19996 is shared with other tests: the script waits for
# it to be free (up to 5 minutes) rather than disturbing whoever holds it.
# Each check's condition is a code string that check() evaluates after its request, so
# its variables are expanded late on purpose:
# shellcheck disable=SC2016,SC2034
# shellcheck source-path=SCRIPTDIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin="$root/build/bin"
port=18081
# shellcheck source=../lib/servers.sh
source "$root/tests/lib/servers.sh"

die() { echo "http-test: $*" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --bin-dir) [ $# -ge 2 ] || die "--bin-dir needs a value"; bin=$2; shift 2 ;;
    --port) [ $# -ge 2 ] || die "--port needs a value"; port=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument: $1 (see --help)" ;;
  esac
done
if ! [[ "$port" =~ ^[0-9]+$ ]] || [ "$port" -eq "$SIM_PORT" ]; then
  die "--port must be a port number other than $SIM_PORT, not '$port'"
fi
for prog in screenreceiver.cgi receiver-sim; do
  [ -x "$bin/$prog" ] || die "$bin/$prog is missing: build the targets screenreceiver_cgi and receiver-sim"
done
command -v lighttpd >/dev/null || die "lighttpd is not installed (scripts/setup-deps)"
command -v curl >/dev/null || die "curl is not installed (scripts/setup-deps)"
bin=$(cd "$bin" && pwd)

work="$(dirname "$bin")/http-test"
rm -rf "$work"
mkdir -p "$work"
base="http://127.0.0.1:$port"
cgi="$base/cgi-bin/screenreceiver.cgi"

# ---- processes and clean-up -------------------------------------------------------
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM

# ---- small test harness -----------------------------------------------------------
passed=0
failed=0
nl=$'\n'
check() { # name, shell condition (evaluated here, so it sees the variables of the last request)
  local name=$1
  if eval "$2"; then
    passed=$((passed + 1)); echo "ok - $name"
  else
    failed=$((failed + 1)); echo "not ok - $name"
  fi
}
same() { # expected, actual
  [ "$1" = "$2" ] && return 0
  echo "  expected: $(printf '%q' "$1")"
  echo "  actual:   $(printf '%q' "$2")"
  return 1
}
has() { # haystack, needle
  case "$1" in *"$2"*) return 0 ;; esac
  echo "  '$2' not found in: $(printf '%q' "$1")"
  return 1
}

# request METHOD URL [curl args...]: sets $status, $headers (lower-cased names), $body.
request() {
  local method=$1 url=$2; shift 2
  local h="$work/headers" b="$work/body" rc=0
  : >"$h"; : >"$b"
  if [ "$method" = HEAD ]; then
    status=$(curl -sS -I -o /dev/null -D "$h" -w '%{http_code}' --max-time 90 "$@" "$url") || rc=$?
  else
    status=$(curl -sS -X "$method" -o "$b" -D "$h" -w '%{http_code}' --max-time 90 "$@" "$url") || rc=$?
  fi
  [ $rc -eq 0 ] || status="curl-exit-$rc"
  headers=$(tr -d '\r' <"$h" | sed 's/^\([^:]*\):/\L\1:/')
  body=$(cat "$b"; echo x); body=${body%x}
}
header() { printf '%s\n' "$headers" | sed -n "s/^$1: *//p" | tail -n 1; }
post() { request POST "$cgi" -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "$1"; }

# The service's view, from the sim's state file.
state() { cat "$work/state.json"; }
frame_of() { # sender id -> its frame in the sim (0 = not shown)
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print([s["frame"] for s in d["senders"] if s["id"]==int(sys.argv[2])][0])' \
    "$work/state.json" "$1"
}
quit_count() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["quitConfCtrl"])' "$work/state.json"; }

entry() { # name frame ip apptype
  printf '<conference>\n<username>%s</username>\n<frame>%s</frame>\n<ip>%s</ip>\n<apptype>%s</apptype>\n</conference>\n' "$@"
}

# ---- the service's senders --------------------------------------------------------
cat >"$work/senders.json" <<'EOF'
{"senders": [
  {"id": 7,  "ip": "10.0.0.5",     "name": "Alice",              "appType": 1,     "local": false, "valid": true, "frame": 0},
  {"id": 9,  "ip": "10.0.0.6",     "name": "<b>x</b>&y;50% a+b", "appType": 2,     "local": false, "valid": true, "frame": 3},
  {"id": 11, "ip": "127.0.0.1",    "name": "This device",        "appType": 0,     "local": true,  "valid": true, "frame": 0},
  {"id": 12, "ip": "192.168.1.20", "name": "Guest",              "appType": 65535, "local": false, "valid": true, "frame": 0}
]}
EOF
alice_idle=$(entry Alice -1 10.0.0.5 1)
other_shown=$(entry 'Pa_LtbPa_GtxPa_Lt/bPa_GtPa_AmpyPa_Note50Pa_Percent aPa_Addb' 3 10.0.0.6 2)
guest_idle=$(entry Guest -1 192.168.1.20 65535)
reply() { printf '<return>\n<total>%s</total>\n' "$1"; shift; printf '%s\n' "$@"; printf '</return>\n'; }

start_sim --senders "$work/senders.json" --state-file "$work/state.json"
start_httpd

# ---- the page's own files ---------------------------------------------------------
request GET "$base/"
check "GET / serves the control page" \
  'same 200 "$status" && has "$(header content-type)" text/html && has "$body" "app.js"'
request GET "$base/app.js"
check "the page's script is served as JavaScript" \
  'same 200 "$status" && has "$(header content-type)" javascript'
for hidden in /lighttpd.conf.in /configure-lighttpd; do
  request GET "$base$hidden"
  check "the server set-up file $hidden is not served" 'same 403 "$status"'
done

# ---- reading the list -------------------------------------------------------------
expected=$(reply 3 "$alice_idle" "$other_shown" "$guest_idle")
request GET "$cgi?t=1"
check "GET answers 200 with the service's non-local senders" \
  'same 200 "$status" && same "$expected" "${body%$nl}"'
check "the reply is text/xml and marked not cacheable" \
  'same text/xml "$(header content-type)" && has "$(header cache-control)" no-store'

request HEAD "$cgi"
check "HEAD answers 200 with the XML type and no body" \
  'same 200 "$status" && same text/xml "$(header content-type)" && same "" "$body"'

# ---- actions ----------------------------------------------------------------------
post 'userid0=Play2'
check "POST userid0=Play2 shows the first sender in frame 2" \
  'same 200 "$status" && same 2 "$(frame_of 7)" && has "$body" "$(entry Alice 2 10.0.0.5 1)"'

request POST "$cgi" -H 'Content-Type: application/x-www-form-urlencoded; charset=utf-8' --data-binary 'userid0=Stop'
check "POST with the utf-8 charset stops it again" \
  'same 200 "$status" && same 0 "$(frame_of 7)" && has "$body" "$alice_idle"'

request GET "$cgi?userid2=Play3"
check "an action in the query of a GET takes the frame from the sender showing it" \
  'same 200 "$status" && same 3 "$(frame_of 12)" && same 0 "$(frame_of 9)" && has "$body" "$(entry Guest 3 192.168.1.20 65535)"'

before=$(frame_of 12)
request POST "$cgi" -H 'Content-Type: text/plain' --data-binary 'userid2=Stop'
check "a POST of another content type is refused and changes nothing" \
  'same 200 "$status" && has "$body" "Unsupported Content-Type" && same "$before" "$(frame_of 12)"'

post 'logout=1'
check "POST logout=1 reaches the service and answers only <return>" \
  'same 200 "$status" && same "<return>$nl" "$body" && same 1 "$(quit_count)"'

# ---- a service that never answers -------------------------------------------------
# The sim listens but never accepts, so the program's connect times out (3 s) and it
# writes nothing: the web server turns that into its own error page.
start_sim --no-accept
request GET "$cgi"
check "with the service not accepting, GET ends in a server error" \
  '[[ "$status" =~ ^5[0-9][0-9]$ ]] || { echo "  status $status"; false; }'
check "that error is not the program's XML" \
  '! has "$body" "<return>" >/dev/null'
request POST "$cgi" -H 'Content-Type: application/x-www-form-urlencoded' --data-binary 'userid0=Play1'
check "a POST action meets the same server error" \
  '[[ "$status" =~ ^5[0-9][0-9]$ ]] || { echo "  status $status"; false; }'

cleanup
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
