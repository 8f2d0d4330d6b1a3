#!/usr/bin/env bash
# Faults of the receiver service, seen through lighttpd and the real CGI program: nothing
# listening, commands never answered, answers cut off by a closed connection, answers
# wrapped in junk, unsolicited frames and small pieces, and a service that never accepts.
# Each request must end with a well-formed reply (or, without a connection, with the web
# server's own error), and no run of the program may be left behind.
#   tests/robustness/faults.sh [--bin-dir DIR] [--port N]
# --bin-dir  where screenreceiver.cgi and receiver-sim are (default build/bin)
# --port     lighttpd port for the test (default 18093)
# Needs lighttpd, curl and python3. Port 19996 is shared with other tests: the script
# waits for it to be free (up to 5 minutes) rather than disturbing whoever holds it.
# Takes about a minute: the silent and refused cases spend the program's time-outs.
# shellcheck source-path=SCRIPTDIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin="$root/build/bin"
port=18093
while [ $# -gt 0 ]; do
  case "$1" in
    --bin-dir) [ $# -ge 2 ] || { echo "--bin-dir needs a value" >&2; exit 2; }; bin=$2; shift 2 ;;
    --port) [ $# -ge 2 ] || { echo "--port needs a value" >&2; exit 2; }; port=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
# shellcheck source=common.sh
source "$here/common.sh"
if ! [[ "$port" =~ ^[0-9]+$ ]] || [ "$port" -eq "$SIM_PORT" ]; then
  die "--port must be a port number other than $SIM_PORT, not '$port'"
fi
for prog in screenreceiver.cgi receiver-sim; do
  [ -x "$bin/$prog" ] || die "$bin/$prog is missing: build screenreceiver_cgi and receiver-sim"
done
for tool in lighttpd curl python3; do
  command -v "$tool" >/dev/null || die "$tool is not installed"
done
bin=$(cd "$bin" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/cgi-faults.XXXXXX")
trap 'cleanup; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
cgi="http://127.0.0.1:$port/cgi-bin/screenreceiver.cgi"


# get QUERY / post BODY: one request through lighttpd; sets $status, $ctype and $body.
request() {
  local rc=0
  : >"$work/body"
  status=$(curl -sS -o "$work/body" -w '%{http_code} %{content_type}' --max-time 90 "$@") || rc=$?
  [ $rc -eq 0 ] || status="curl-exit-$rc"
  ctype=${status#* }
  status=${status%% *}
  body=$(cat "$work/body"; echo x)
  body=${body%x}
}
get() { request "$cgi?$1"; }
post() {
  request -X POST -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "$1" "$cgi"
}

xml_reply() { # an answer of the program: 200, text/xml and a well-formed list
  [ "$status" = 200 ] || { echo "  status $status"; return 1; }
  [ "$ctype" = text/xml ] || { echo "  content type $ctype"; return 1; }
  well_formed_list "$body"
}
empty_list() { xml_reply && same $'<return>\n<total>0</total>\n</return>\n' "$body"; }
server_error() {
  [[ "$status" =~ ^5[0-9][0-9]$ ]] || { echo "  status $status"; return 1; }
  [[ "$body" != *"<return>"* ]] || { echo "  the program's reply came through: $body"; return 1; }
}
frame_of() { # sender name -> the frame the reply shows for it
  python3 -c 'import re,sys; m=re.search(r"<username>"+re.escape(sys.argv[2])+r"</username>\n<frame>(-?\d+)</frame>", sys.argv[1]); print(m.group(1) if m else "none")' \
    "$body" "$1"
}

start_httpd

# ---- what a healthy service gives, as the reference for the junk cases -------------
start_sim
get ""
ref_list=$body
check "reference: a healthy service lists its senders" xml_reply
post "userid0=Play2"
ref_play=$body
check "reference: Play2 shows the first sender in frame 2" same 2 "$(frame_of Alice)"

# ---- junk, unsolicited frames and answers in small pieces -------------------------
start_sim --junk 37 --unsolicited --chunk 3
get ""
check "junk, unsolicited frames, 3-byte pieces: GET gives the same reply" same "$ref_list" "$body"
post "userid0=Play2"
check "junk, unsolicited frames, 3-byte pieces: Play2 gives the same reply" \
  same "$ref_play" "$body"
check "no run of the program is left (junk)" no_cgi_left

# ---- answers cut off by a closed connection ---------------------------------------
start_sim --close-mid 0x12
post "userid0=Play3"
check "Play answer cut off: a well-formed reply" xml_reply
check "Play answer cut off: the reply shows the list fetched before the action" \
  same "$ref_list" "$body"
start_sim --close-mid 0x1a
get ""
check "list answer cut off: a well-formed reply" xml_reply
check "no run of the program is left (close-mid)" no_cgi_left

# ---- commands never answered: each spends its 10-second time-out ------------------
start_sim --silent 0x12
post "userid0=Play1"
check "Play never answered: a well-formed reply" xml_reply
check "Play never answered: it took effect, and the second list shows it" \
  same 1 "$(frame_of Alice)"
start_sim --silent 0x1a
get ""
check "list never answered: an empty, well-formed reply" empty_list
check "no run of the program is left (silent)" no_cgi_left

# ---- nothing listening: the connection is refused -------------------------------
stop_sim
wait_port_free
get ""
check "service refusing: an empty, well-formed reply" empty_list
check "no run of the program is left (refused)" no_cgi_left

# ---- never accepting: the connect times out, the program writes nothing ---------
start_sim --no-accept
get ""
check "service never accepting: the web server's error, not the program's XML" server_error
check "no run of the program is left (no accept)" no_cgi_left

cleanup
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
