#!/usr/bin/env bash
# The program behind each web server it supports, in a network namespace of its own with
# receiver-sim: lighttpd, nginx with fcgiwrap and Apache, each plain (configure-server
# --plain: the program's own checks alone) and as configure-server writes it, and BusyBox
# httpd (plain). One table of requests against each: the page's own calls work, attacks are
# refused without reaching the service. Then the page in Chromium behind each (list, show,
# stop; framed: no controls). Prints the matrix, exits 1 on any failure; needs root.
#   tests/webservers/run.sh [--bin-dir DIR]   the build tree's bin folder, default build/bin
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"
lib_init webservers 1
if [ "${1:-}" != --inside ]; then
  bin=$lib_root/build/bin
  [ "${1:-}" != --bin-dir ] || bin=$(absolute "${2:?--bin-dir needs a folder}")
  if [ "$(id -u)" -ne 0 ] || ! unshare -n true 2>/dev/null; then
    echo "webservers: SKIPPED: the servers run in a network namespace of their own, which needs root"
    exit 0
  fi
  need_programs "$bin" "build the targets screenreceiver_cgi and receiver-sim" screenreceiver.cgi receiver-sim
  "$lib_root/scripts/setup-deps" webservers && browser_deps
  tmp=$(mktemp -d) && chmod 755 "$tmp" && trap 'rm -rf "$tmp"' EXIT
  SECONDS=0
  "${IN_NETNS[@]}" "$0" --inside "$bin" "$tmp" && echo "webservers: passed in $SECONDS s" && exit 0
  exit 1
fi
bin=$2 tmp=$3 www=$3/www
mkdir -p "$www/cgi-bin" "$tmp/etc" && cp "$lib_root"/web/* "$www/" && cp "$bin/screenreceiver.cgi" "$www/cgi-bin/"
echo 'Projector.example # the name under which the "own name" row reaches the device' >"$tmp/etc/hostnames"
# shellcheck disable=SC2317  # called from the traps
pids=() && stop_all() { for p in "${pids[@]}"; do stop_pid "$p"; done; } && at_exit stop_all
start_sim "$bin/receiver-sim" "$tmp/ready" "$tmp/sim.log" --port "$SIM_PORT" --state-file "$tmp/sim.json" && pids+=("$sim_pid")

# Each set-up on a port of its own: configured, syntax-checked by its server, started.
setups=() port=18080
for s in lighttpd-plain lighttpd nginx-plain nginx apache-plain apache busybox-plain; do
  port=$((port + 1)) st=$tmp/$s conf=$tmp/$s.conf srv=${s%-plain} plain=()
  setups+=("$s:$port") && [[ $s != *-plain ]] || plain=(--plain)
  [ "$srv" = busybox ] || "$www/configure-server" --server "$srv" "${plain[@]}" --port "$port" --cgi "$www/cgi-bin/screenreceiver.cgi" \
    --state-dir "$st" --hostnames "$tmp/etc/hostnames" --fcgi-socket "$st/fcgi.sock" --out "$conf" || die "$s: configure-server failed"
  case $srv in
    lighttpd) check=(lighttpd -tt -f "$conf") run=(lighttpd -D -f "$conf") ;;
    nginx) check=(nginx -q -t -e "$st/error.log" -c "$conf") run=(nginx -e "$st/error.log" -c "$conf" -g 'daemon off;')
      setpriv --reuid=www-data --regid=www-data --init-groups fcgiwrap -s "unix:$st/fcgi.sock" & pids+=($!) ;;
    apache) check=(apache2 -t -f "$conf") run=(apache2 -f "$conf" -DFOREGROUND) ;;
    busybox) check=(true) run=(env SCREENRECEIVER_ETC="$tmp/etc" busybox httpd -f -p "127.0.0.1:$port" -h "$www") ;;
  esac
  "${check[@]}" >"$tmp/$s.check" 2>&1 || { cat "$tmp/$s.check" >&2; die "$s: the server rejects its configuration"; }
  "${run[@]}" >"$tmp/$s.out" 2>&1 & pids+=($!)
done
for su in "${setups[@]}"; do
  for _ in $(seq 100); do curl -so /dev/null "http://127.0.0.1:${su#*:}/" && continue 2; sleep 0.1; done
  cat "$tmp/${su%:*}.out" "$tmp/${su%:*}"/error.log >&2 2>/dev/null; die "${su%:*} did not come up"
done

# The requests: ok = 200 with a list, the service got commands and, behind a shipped
# configuration, the reply carries the framing guards; no = 403, 405 or 413, no sender in
# the reply, and the service got nothing. Every reply must arrive whole. @P: the port.
own=X-Requested-With:screenreceiver
rows=(
  "ok|the page's list||-H $own"
  "ok|list under localhost||-H $own -H Host:localhost"
  "ok|list under a name of the file||-H $own -H Host:PROJECTOR.example:@P"
  "ok|action POST, fetch metadata||-H $own -H Origin:http://127.0.0.1:@P -H Sec-Fetch-Site:same-origin -d userid0=Play2"
  "ok|action POST, no fetch metadata||-H $own -H Origin:http://127.0.0.1:@P -d userid0=Stop"
  "no|PUT with the header||-X PUT -H $own -d userid0=Play1"
  "no|cross-site form POST||-H Origin:http://evil.example -d logout=1"
  "no|cross-site form POST, fetch metadata||-H Origin:http://evil.example -H Sec-Fetch-Site:cross-site -d logout=1"
  "no|image GET|?logout=1|"
  "no|image GET, fetch metadata|?userid0=Play1|-H Sec-Fetch-Site:cross-site -H Sec-Fetch-Dest:image"
  "no|POST from Origin null||-H $own -H Origin:null -d userid0=Play1"
  "no|DNS rebinding: Play||-H $own -H Host:evil.example:@P -H Origin:http://evil.example:@P -d userid0=Play1"
  "no|DNS rebinding: list||-H $own -H Host:evil.example:@P"
  "no|5000-byte body||-H $own -H Expect: -d userid0=Play1&t=$(printf '%04990d' 0)"
)
declare -A held failed
for su in "${setups[@]}"; do
  s=${su%:*} held[$s]=0 failed[$s]=""
  for row in "${rows[@]}"; do
    IFS='|' read -r want what query args <<<"${row//@P/${su#*:}}"
    cp "$tmp/sim.json" "$tmp/before.json"
    # shellcheck disable=SC2086  # the row's curl arguments hold no blanks
    got=$(curl -s -D "$tmp/head" -o "$tmp/body" -w '%{http_code}' --max-time 30 $args \
      "http://127.0.0.1:${su#*:}/cgi-bin/screenreceiver.cgi$query") || got+=" (cut off: curl exit $?)"
    cmp -s "$tmp/sim.json" "$tmp/before.json" && reached=no || reached=yes
    framing=yes
    grep -qiE "^content-security-policy: .*frame-ancestors 'none'" "$tmp/head" && grep -qi '^x-frame-options: deny' "$tmp/head" ||
      [[ $s == *-plain ]] || framing=no
    if [ "$want" = ok ]; then [ "$got" = 200 ] && grep -q '^<return>' "$tmp/body" && [ "$reached$framing" = yesyes ]
    else [[ "$got" =~ ^(403|405|413)$ ]] && ! grep -q '<username>' "$tmp/body" && [ "$reached" = no ]; fi &&
      held[$s]=$((held[$s] + 1)) || failed[$s]+="  $what: HTTP $got, reached the service: $reached, framing guards: $framing"$'\n'
  done
done

# The page in Chromium behind each set-up, framed from BusyBox's (the last) origin.
declare -A page
while read -r s verdict; do page[$s]=$verdict; done < <(FRAMER=http://localhost:$port/style.css SIM_STATE=$tmp/sim.json NODE_PATH=$lib_root/tests/browser/node_modules \
  node "$lib_root/tests/webservers/page.js" "${setups[@]}" 2>"$tmp/page.err" || true)

echo "webservers: server x set-up: requests held, page in Chromium"
rc=0
for su in "${setups[@]}"; do
  s=${su%:*}
  printf '  %-9s %-8s %2d/%d  page %s\n' "${s%-plain}" "$([[ $s == *-plain ]] && echo plain || echo shipped)" \
    "${held[$s]}" ${#rows[@]} "${page[$s]:-FAILED}"
  printf '%s' "${failed[$s]}"
  [ "${held[$s]}" = ${#rows[@]} ] && [ "${page[$s]:-}" = ok ] || rc=1
done
[ $rc -eq 0 ] || cat "$tmp/page.err" >&2
exit $rc
