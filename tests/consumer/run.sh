#!/usr/bin/env bash
# The installed library as programs outside the tree see it. Installs the build tree into
# a temporary prefix; builds examples/ (a toy-protocol client, a sender lister) and
# outside/ (screenreceiverctl on the public headers alone) through find_package, and the
# two examples through pkg-config; runs the client against its peer and the lister
# against receiver-sim; runs the installed screenreceiverctl for every command and exit
# status.
#   tests/consumer/run.sh BUILD_DIR      (receiver-sim binds 127.0.0.1:19996)
set -euo pipefail

# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"
lib_init consumer-test 1
here=$lib_root/tests/consumer root=$lib_root
[ $# -eq 1 ] && [ -x "$1/bin/receiver-sim" ] || { echo "usage: $0 BUILD_DIR (with bin/receiver-sim built)" >&2; exit 2; }
build=$(absolute "$1")
work=$(mktemp -d)
sim_pid=""
stop_sim() { stop_pid "$sim_pid" receiver-sim; sim_pid=""; }
trap 'stop_sim; rm -rf "$work"' EXIT
failed=0
check() { [ "$2" == "$3" ] || { printf 'FAIL %s\n  expected: %q\n  got:      %q\n' "$1" "$2" "$3"; failed=1; }; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
cxx=${CXX:-c++}
# Nothing private installed: every header there is one that the two chief headers include,
# and no archive but the two libraries.
check "installed headers" "$(ls "$prefix/include/lyxclient")" "$(printf '#include <%s>\n' ProtocolBase.h ScreenReceiverStub.h |
  "$cxx" -std=c++17 -x c++ -fsyntax-only -H -I"$prefix/include/lyxclient" - 2>&1 | grep -o "$prefix/include/lyxclient/.*" | xargs -n1 basename | sort -u)"
check "installed archives" "liblyxclient.a libscreenreceiverstub.a" "$(cd "$(dirname "$(find "$prefix" -name liblyxclient.a)")" && echo *.a)"
configure() { cmake -S "$1" -B "$2" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null; }
configure "$root/examples" "$work/ex" && cmake --build "$work/ex" -j2 >/dev/null
configure "$here/outside" "$work/out" && cmake --build "$work/out" -j2 >/dev/null
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name lyxclient.pc)")
pc() { "$cxx" -std=c++17 -Wall -Werror -o "$work/$1" "$2" $(pkg-config --cflags --libs "$3"); }
pc counter_client_pc "$root/examples/counter_client.cpp" lyxclient
pc list_senders_pc "$root/examples/list_senders.cpp" screenreceiverstub
pc own_names "$here/own_names.cpp" screenreceiverstub && check "own names" 0 "$("$work/own_names"; echo $?)"
# Every macro the installed headers define is the library's own (include guards aside).
check "unprefixed macros" "" "$(sed -n 's/^ *# *define \([A-Za-z0-9_]*\).*/\1/p' "$prefix"/include/lyxclient/*.h | grep -v '^LYX_')"

# The example: events handled in order on the dispatch thread, answers on the main thread.
for client in "$work/ex/counter_client" "$work/counter_client_pc"; do
  python3 "$root/examples/counter_peer.py" >"$work/peer.port" &
  peer=$!
  for _ in $(seq 100); do [ -s "$work/peer.port" ] && break; sleep 0.05; done
  out=$("$client" "$(cat "$work/peer.port")" 5 10 27) && status=0 || status=$?
  stop_pid "$peer" # gone already unless the client never connected
  check "$client status" 0 "$status"
  check "$client events" "event 1: added 5|event 2: added 10|event 3: added 27" "$(grep ^event <<<"$out" | paste -sd'|')"
  check "$client answers" "total 5|total 15|total 42" "$(grep ^total <<<"$out" | paste -sd'|')"
done

# receiver-sim with these senders and the options given; sim_state prints a state field.
cat >"$work/senders.json" <<'EOF'
{"senders": [{"id": 7, "ip": "10.0.0.5", "name": "Alice", "appType": 1},
 {"id": 8, "ip": "10.0.0.6", "name": "Bob", "appType": 2, "frame": 2},
 {"id": 9, "ip": "10.0.0.7", "name": "Bob", "appType": 3},
 {"id": 10, "ip": "10.0.0.8", "name": "Eve\u202egnp.exe\u0007\\x\u0085", "appType": 4},
 {"id": 11, "ip": "10.0.0.9", "name": "Local", "local": true}]}
EOF
run_sim() { start_sim "$build/bin/receiver-sim" "$work/ready" "$work/sim.log" --quiet \
  --senders "$work/senders.json" --state-file "$work/state.json" "$@"; }
sim_state() { python3 -c 'import json,sys; print(json.dumps(json.load(open(sys.argv[1]))[sys.argv[2]]))' "$work/state.json" "$1"; }

run_sim
for lister in "$work/ex/list_senders" "$work/list_senders_pc"; do
  check "$lister" $'7 1 Alice\n8 2 Bob\n9 3 Bob\n10 4 Eve\u202egnp.exe\a\\x\u0085' "$("$lister")"
done

# screenreceiverctl: status, the command, and what the sim's frames are afterwards (or '-').
ctl() { "$prefix/bin/screenreceiverctl" "$@" 2>/dev/null; }
table=$'ID         IP              APPTYPE FRAME     NAME\n7          10.0.0.5        1       not shown Alice\n8          10.0.0.6        2       2         Bob\n9          10.0.0.7        3       not shown Bob\n10         10.0.0.8        4       not shown Eve\\u{202E}gnp.exe\\x07\\\\x\\u{0085}'
check "list" "$table" "$(ctl list)"
json='{"senders": [{"appType": 1, "frame": null, "id": 7, "ip": "10.0.0.5", "name": "Alice", "shown": false}, {"appType": 2, "frame": 2, "id": 8, "ip": "10.0.0.6", "name": "Bob", "shown": true}, {"appType": 3, "frame": null, "id": 9, "ip": "10.0.0.7", "name": "Bob", "shown": false}, {"appType": 4, "frame": null, "id": 10, "ip": "10.0.0.8", "name": "Eve\u202egnp.exe\u0007\\x\u0085", "shown": false}]}'
check "list --json" "$json" "$(ctl list --json | python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin), sort_keys=True))')"
check "--help" "Usage: screenreceiverctl COMMAND [ARGUMENTS]" "$(ctl --help | head -1)"
while read -r status frames args; do
  eval "set -- $args"
  ctl "$@" >/dev/null && got=0 || got=$?
  check "screenreceiverctl $args" "$status" "$got"
  [ "$frames" = - ] || check "frames after $args" "$frames" "$(sim_state frames | tr -d ' ')"
done <<'EOF'
2 -
2 - frob
2 - list extra
2 - show
2 - show 7 0
2 - show 7 128
2 - stop 7 1
2 - show id:x
2 - leave now
4 {"1":null,"2":8,"3":null,"4":null} show Bob
4 - show 10.0.0.99
4 - show nobody
4 - stop 11
0 {"1":null,"2":8,"3":7,"4":null} show Alice 3
0 {"1":9,"2":8,"3":7,"4":null} show ip:10.0.0.7
0 {"1":9,"2":8,"3":null,"4":null} stop 10.0.0.5
0 {"1":9,"2":null,"3":null,"4":null} stop 8
EOF
check "leave" "0 1" "$(ctl leave; echo $? "$(sim_state quitConfCtrl)")"
while read -r status command; do
  ctl $command >/dev/null && got=0 || got=$?
  check "screenreceiverctl $command (refused)" "$status" "$got"
done <<'EOF'
5 stop 8
5 stop 7
5 show 7 9
EOF
stop_sim

# Faults: nothing listening, a connection lost, connect and answer time-outs.
while IFS='|' read -r status command options; do
  [ -z "$options" ] || run_sim $options
  ctl $command >/dev/null && got=0 || got=$?
  check "screenreceiverctl $command with ${options:-no service}" "$status" "$got"
  stop_sim
done <<'EOF'
3|list|
3|list|--close-mid 0x1a
3|leave|--close-mid 0x18
6|list|--no-accept
6|stop 8|--stall 0x14
EOF
[ $failed -eq 0 ] && echo "consumer test passed"
exit $failed
