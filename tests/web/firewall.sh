#!/usr/bin/env bash
# The ruleset of configure-lighttpd --firewall-out, loaded with nft in a network namespace of
# its own: 127.0.0.1 holding every connection it may, each trickling a header byte every 2 s,
# leaves 127.0.0.2 able to load the page and list the senders.
#   tests/web/firewall.sh BIN_DIR   (exit 77: skipped, no root, nft or namespace here)
set -euo pipefail
[ $# -eq 1 ] && bin=$(cd "$1" && pwd) || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
if [ -z "${FIREWALL_TEST_NETNS:-}" ]; then
  for tool in nft lighttpd curl python3; do command -v $tool >/dev/null || { echo "skipped: no $tool"; exit 77; }; done
  [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null || { echo "skipped: no network namespace"; exit 77; }
  FIREWALL_TEST_NETNS=1 exec unshare -n "$0" "$bin"
fi
fail() { echo "firewall-test: $*" >&2; exit 1; }
ip link set lo up
stage=$(mktemp -d) && chmod 755 "$stage" && pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$stage"' EXIT
cmake --install "$bin/.." --prefix "$stage" >/dev/null
echo '{"senders": [{"id": 7, "ip": "10.0.0.5", "name": "Alice"}]}' >"$stage/senders.json"
"$bin/receiver-sim" --quiet --senders "$stage/senders.json" & pids+=($!)
"$stage/www/configure-lighttpd" --cgi "$stage/www/cgi-bin/screenreceiver.cgi" --state-dir "$stage/state" \
  --out "$stage/lighttpd.conf" --firewall-out "$stage/limit.nft"
nft -f "$stage/limit.nft" && nft -f "$stage/limit.nft" # loading it again replaces it
lighttpd -D -f "$stage/lighttpd.conf" & pids+=($!)
for _ in $(seq 100); do curl -fs -o /dev/null http://127.0.0.1:8080/ && break; sleep 0.1; done
python3 - "$stage/held" <<'EOF' & pids+=($!)
import select, socket, sys, time
tries = [socket.socket() for _ in range(40)]
for s in tries:
    s.setblocking(False); s.bind(("127.0.0.1", 0)); s.connect_ex(("127.0.0.1", 8080))
time.sleep(3)  # a connection over the limit is dropped: it never completes
held = [s for s in select.select([], tries, [], 0)[1] if not s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)]
open(sys.argv[1], "w").write(str(len(held)))
for byte in b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + b"a" * 8000:
    for s in held: s.send(bytes([byte]))
    time.sleep(2)
EOF
for _ in $(seq 100); do [ -s "$stage/held" ] && break; sleep 0.1; done
[ "$(cat "$stage/held")" = 8 ] || fail "127.0.0.1 holds $(cat "$stage/held") connections, not 8"
victim=(curl -fsS --interface 127.0.0.2 -m 10)
"${victim[@]}" http://127.0.0.1:8080/ | grep -q 'src="app.js"' || fail "127.0.0.2 got no page"
"${victim[@]}" -H 'X-Requested-With: screenreceiver' http://127.0.0.1:8080/cgi-bin/screenreceiver.cgi |
  grep -q '<username>Alice</username>' || fail "127.0.0.2 got no sender list"
echo "firewall-test: 127.0.0.1 holds 8 connections; 127.0.0.2 loads the page and the list"
