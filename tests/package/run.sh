#!/usr/bin/env bash
# tests/package/run.sh [--bin-dir DIR] [ARCH...]: the packages in dist/ (default all).
# arm64, armhf: the packaged program passes the integration tests (DIR, default build/bin)
# under qemu-user. amd64: installed with apt (twice), enabled, served by Debian's lighttpd
# against receiver-sim, checked in chromium (page.test.js), purged: nothing may be left.
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"
lib_init package-test 1
cd "$lib_root"
if [ "${1:-}" = --serve ]; then # inside a network namespace: the service, lighttpd, the page
  ip link set lo up
  "$2/receiver-sim" --quiet --state-file "$3/sim.json" --ready-file "$3/ready" & lighttpd -D -f /etc/lighttpd/lighttpd.conf &
  trap 'kill %1 %2; wait' EXIT
  for _ in $(seq 100); do [ -s "$3/ready" ] && curl -so /dev/null http://127.0.0.1/ && break; sleep 0.1; done
  screenreceiverctl list --json | grep -q '"senders"' || exit 1
  [ "$(curl -so /dev/null -w '%{http_version}' --http2-prior-knowledge http://127.0.0.1/screenreceiver/)" != 2 ] || exit 1
  [ "$(curl -so /dev/null -w '%{http_code}' -X PUT -H 'X-Requested-With: screenreceiver' http://127.0.0.1/cgi-bin/screenreceiver.cgi)" = 403 ] || exit 1
  PAGE_BASE=http://127.0.0.1 SIM_STATE="$3/sim.json" NODE_PATH=tests/browser/node_modules node --test tests/package/page.test.js
  exit
fi
bin=build/bin
if [ "${1:-}" = --bin-dir ]; then bin=$2; shift 2; fi
bin=$(cd "$bin" && pwd) archs=("$@") tmp=$(mktemp -d) && chmod 755 "$tmp" && trap 'rm -rf "$tmp"' EXIT
[ $# -gt 0 ] || for deb in dist/screenreceiver_*.deb; do archs+=("$(dpkg-deb -f "$deb" Architecture)"); done
for a in "${archs[@]}"; do
  deb=$(ls dist/screenreceiver_*_"$a".deb) && dpkg-deb -x "$deb" "$tmp/$a" || die "no package for $a"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$a" ] && dpkg-deb -f "$deb" Depends | grep -Eqx 'libc6 \(>= 2\.[0-9]+\)' || die "$a: Depends"
  [ "$a" != amd64 ] || continue
  qemu=(qemu-aarch64 aarch64-linux-gnu) && [ "$a" = arm64 ] || qemu=(qemu-arm arm-linux-gnueabihf)
  as_root "${IN_NETNS[@]}" env CGI_LAUNCHER="${qemu[0]}" \
    QEMU_LD_PREFIX="/usr/${qemu[1]}" CGI_UNDER_TEST="$tmp/$a/usr/lib/cgi-bin/screenreceiver.cgi" \
    "$bin/cgi_integration_test" --gtest_brief=1 --gtest_filter='*EachRequest*' || die "$a: fails under qemu"
  "${qemu[0]}" -L "/usr/${qemu[1]}" "$tmp/$a/usr/bin/screenreceiverctl" --help >/dev/null || die "$a: screenreceiverctl"
done
[[ " ${archs[*]} " == *" amd64 "* ]] || exit 0
# A program in a folder that www-data cannot enter: configure-lighttpd (as root) names the folder.
mkdir -m 0700 "$tmp/closed" && cp "$tmp/amd64/usr/lib/cgi-bin/screenreceiver.cgi" "$tmp/closed/"
err=$(as_root web/configure-lighttpd --cgi "$tmp/closed/screenreceiver.cgi" --state-dir "$tmp/st" 2>&1 >/dev/null) && die "accepted"
[[ "$err" == *"account 'www-data' cannot enter $tmp/closed,"* ]] || die "configure-lighttpd did not name $tmp/closed: $err"
status() { dpkg-query -W -f='${db:Status-Status}' screenreceiver 2>/dev/null || true; }
[ "$(status)" != installed ] || die "screenreceiver is installed already: purge it first"
browser_deps
apt=(apt_get -y)
enabled=$(ls /etc/lighttpd/conf-enabled)
for again in "" --reinstall; do "${apt[@]}" install $again "$PWD/$(ls dist/screenreceiver_*_amd64.deb)" >/dev/null; done
mapfile -t owned < <(dpkg -L screenreceiver | grep screenreceiver)
as_root runuser -u www-data -- test -w /var/log/screenreceiver || die "www-data cannot write the run log folder"
as_root lighty-enable-mod screenreceiver >/dev/null
as_root unshare -n "$0" --serve "$bin" "$tmp" && rc=0 || rc=$?
"${apt[@]}" purge screenreceiver >/dev/null
[ $rc -eq 0 ] || die "the installed page failed its checks"
for p in "${owned[@]}" /var/log/screenreceiver; do [ ! -e "$p" ] || die "left after purge: $p"; done
[ "$(ls /etc/lighttpd/conf-enabled)" = "$enabled" ] && [[ "$(status)" =~ ^(not-installed)?$ ]] || die "left: module or dpkg record"
echo "package-test: passed: ${archs[*]}"
