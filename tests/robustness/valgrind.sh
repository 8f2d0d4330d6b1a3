#!/usr/bin/env bash
# Runs the CGI program under valgrind memcheck against receiver-sim on 127.0.0.1:19996:
# an empty GET, a Play and Stop POST, a logout, a rejected request and a run whose list
# answer is cut off by the service. Each run must end as usual with no invalid access and
# no definitely lost memory.
#   tests/robustness/valgrind.sh [--bin-dir DIR]
# --bin-dir  where screenreceiver.cgi and receiver-sim are (default build/bin)
# Needs valgrind. Port 19996 is shared with other tests: the script waits for it to be
# free (up to 5 minutes) rather than disturbing whoever holds it.
# shellcheck source-path=SCRIPTDIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin="$root/build/bin"
while [ $# -gt 0 ]; do
  case "$1" in
    --bin-dir) [ $# -ge 2 ] || { echo "--bin-dir needs a value" >&2; exit 2; }; bin=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
# shellcheck source=common.sh
source "$here/common.sh"
for prog in screenreceiver.cgi receiver-sim; do
  [ -x "$bin/$prog" ] || die "$bin/$prog is missing: build screenreceiver_cgi and receiver-sim"
done
command -v valgrind >/dev/null || die "valgrind is not installed"
bin=$(cd "$bin" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/cgi-valgrind.XXXXXX")
trap 'cleanup; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

VG_ERROR=99
# run_cgi NAME METHOD QUERY [BODY]: runs the program under memcheck with a bounded time;
# sets $rc (the program's exit code, 99 for a memcheck error), $out and $vglog.
run_cgi() {
  local t0=$SECONDS
  local name=$1 method=$2 query=$3 body=${4:-}
  vglog="$work/$name.valgrind"
  rc=0
  printf '%s' "$body" | env -i PATH="$PATH" REQUEST_METHOD="$method" QUERY_STRING="$query" \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH="${#body}" \
    timeout 120 valgrind --quiet --error-exitcode=$VG_ERROR --leak-check=full \
    --errors-for-leak-kinds=definite --log-file="$vglog" \
    "$bin/screenreceiver.cgi" >"$work/$name.out" || rc=$?
  out=$(cat "$work/$name.out"; echo x)
  out=${out%x}
  echo "# $name: exit $rc after $((SECONDS - t0)) s"
}

memcheck_clean() {
  [ "$rc" -ne "$VG_ERROR" ] && ! grep -qE "Invalid (read|write|free)|definitely lost: [1-9]" "$vglog" \
    && return 0
  echo "  memcheck reported (exit $rc):"
  sed 's/^/    /' "$vglog" | head -40
  return 1
}

header=$'Content-Type: text/xml\n\n'
list_ok() { # expected exit code, expected total
  [ "$rc" -eq "$1" ] || { echo "  exit code $rc, expected $1"; return 1; }
  [ "${out:0:${#header}}" = "$header" ] || { echo "  no reply header: $out"; return 1; }
  well_formed_list "${out:${#header}}" || return 1
  grep -q "<total>$2</total>" <<<"$out" || { echo "  expected a total of $2: $out"; return 1; }
}

rejected_ok() {
  [ "$rc" -eq 1 ] || { echo "  exit code $rc, expected 1"; return 1; }
  [[ "$out" == "$header<return>"$'\n'?* ]] || { echo "  unexpected output: $out"; return 1; }
}
cut_ok() { # whatever the first list held: exit 0 and a well-formed reply
  [ "$rc" -eq 0 ] || { echo "  exit code $rc, expected 0"; return 1; }
  [ "${out:0:${#header}}" = "$header" ] || { echo "  no reply header: $out"; return 1; }
  well_formed_list "${out:${#header}}"
}

start_sim --state-file "$work/state.json"

run_cgi empty_get GET ""
check "empty GET: no memcheck error, no definite leak" memcheck_clean
check "empty GET: the full list" list_ok 0 4

run_cgi play_stop POST "" "userid0=Play2&userid1=Stop"
check "Play + Stop POST: no memcheck error, no definite leak" memcheck_clean
check "Play + Stop POST: the list after the actions" list_ok 0 4
check "Play + Stop POST: the first sender is shown in frame 2" \
  grep -qF $'<frame>2</frame>' "$work/play_stop.out"

run_cgi logout GET "logout=1"
check "logout: no memcheck error, no definite leak" memcheck_clean
check "logout: the reply stops after <return>" same "0 ${header}<return>"$'\n' "$rc $out"

run_cgi rejected PUT ""
check "rejected request: no memcheck error, no definite leak" memcheck_clean
check "rejected request: exit code 1 and its error after the header" rejected_ok

# The service cuts its list answer in half and closes: the program still replies.
start_sim --close-mid 0x1a
run_cgi close_mid GET ""
check "list answer cut off: no memcheck error, no definite leak" memcheck_clean
check "list answer cut off: a well-formed reply" cut_ok

cleanup
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
