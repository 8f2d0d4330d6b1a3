#!/usr/bin/env bash
# Checks the Debian packages in dist/: architecture and Depends; arm64, armhf: the packaged
# programs under qemu-user (the CGI passing the integration tests); amd64: installed with
# apt (twice), enabled, served by lighttpd (the page in chromium), then with a password set
# and the HTTPS snippet enabled (signed in over HTTPS with curl), purged: nothing left.
#   run.sh [--bin-dir DIR] [ARCH...]  the ARCHs' packages (default: all); DIR: this machine's
#                                     cgi_integration_test and receiver-sim (build/bin)
#   run.sh --serve DIR TMP            amd64's serving and its checks (root, own network namespace)
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"
lib_init package-test 1
cd "$lib_root"
if [ "${1:-}" = --serve ]; then
  trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT
  start_sim "$2/receiver-sim" "$3/ready" "$3/sim.log" --quiet --state-file "$3/sim.json"
  start_lighttpd /etc/lighttpd/lighttpd.conf "$3/lighttpd.out" /var/log/lighttpd/error.log 80
  screenreceiverctl list --json | grep -q '"senders"' || exit 1
  [ "$(curl -so /dev/null -w '%{http_version}' --http2-prior-knowledge http://127.0.0.1/screenreceiver/)" != 2 ] || exit 1
  [ "$(curl -so /dev/null -w '%{http_code}' -X PUT -H 'X-Requested-With: screenreceiver' http://127.0.0.1/cgi-bin/screenreceiver.cgi)" = 403 ] || exit 1
  PAGE_BASE=http://127.0.0.1 SIM_STATE="$3/sim.json" NODE_PATH=tests/browser/node_modules node --test tests/package/page.test.js || exit 1
  screenreceiverctl password set <<<'moderator 1' || exit 1
  lighty-enable-mod screenreceiver-https >/dev/null
  stop_pid "$httpd_pid"
  start_lighttpd /etc/lighttpd/lighttpd.conf "$3/lighttpd.out" /var/log/lighttpd/error.log 80
  own=(-H 'X-Requested-With: screenreceiver')
  cgi=https://127.0.0.1/cgi-bin/screenreceiver.cgi
  [ "$(curl -so /dev/null -w '%{http_code} %{redirect_url}' http://127.0.0.1/screenreceiver/)" = "301 https://127.0.0.1/screenreceiver/" ] || exit 1
  [ "$(curl -s -w '%{http_code}' "${own[@]}" http://127.0.0.1/cgi-bin/screenreceiver.cgi)" = $'Refused: use the https:// address of this device.\n403' ] || exit 1
  [ "$(curl -sk -w '%{http_code}' "${own[@]}" "$cgi")" = $'Sign-in required.\n401' ] || exit 1
  [ "$(curl -sk -o /dev/null -w '%{http_code}' "${own[@]}" --data-urlencode 'password=moderator 2' "$cgi")" = 403 ] || exit 1
  curl -sk -D "$3/signin.h" "${own[@]}" --data-urlencode 'password=moderator 1' "$cgi" | grep -q '<username>Alice</username>' || exit 1
  grep -Eqi '^set-cookie: screenreceiver_session=[0-9a-z_-]{22,}; .*secure' "$3/signin.h" || exit 1
  cookie=$(grep -Eio 'screenreceiver_session=[^;]+' "$3/signin.h")
  curl -sk -D "$3/list.h" -b "$cookie" "${own[@]}" "$cgi" | grep -q '<username>Alice</username>' || exit 1
  grep -qi '^x-screenreceiver-session: active' "$3/list.h" || exit 1
  exit
fi
[ "${1:-}" = --bin-dir ] || set -- --bin-dir build/bin "$@"
bin=$(cd "$2" && pwd)
archs=("${@:3}")
tmp=$(mktemp -d)
chmod 755 "$tmp"
trap 'rm -rf "$tmp"' EXIT
[ ${#archs[@]} -gt 0 ] || for deb in dist/screenreceiver_*.deb; do archs+=("$(dpkg-deb -f "$deb" Architecture)"); done
for a in "${archs[@]}"; do
  deb=$(ls dist/screenreceiver_*_"$a".deb) || die "no package for $a"
  dpkg-deb -x "$deb" "$tmp/$a" || die "$deb does not unpack"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$a" ] || die "$a: Architecture"
  dpkg-deb -f "$deb" Depends | grep -Eqx 'libc6 \(>= 2\.[0-9]+\), ssl-cert' || die "$a: Depends"
  [ "$a" != amd64 ] || continue
  qemu_command "$a"
  as_root "${IN_NETNS[@]}" env CGI_LAUNCHER="${qemu_cmd[*]}" CGI_UNDER_TEST="$tmp/$a/usr/lib/cgi-bin/screenreceiver.cgi" \
    "$bin/cgi_integration_test" --gtest_brief=1 --gtest_filter='*EachRequest*' || die "$a: fails under qemu"
  "${qemu_cmd[@]}" "$tmp/$a/usr/bin/screenreceiverctl" --help >/dev/null || die "$a: screenreceiverctl"
done
[[ " ${archs[*]} " == *" amd64 "* ]] || exit 0
# A program in a folder that www-data cannot enter: configure-lighttpd (as root) names the folder.
mkdir -m 0700 "$tmp/closed"
cp "$tmp/amd64/usr/lib/cgi-bin/screenreceiver.cgi" "$tmp/closed/"
err=$(as_root web/configure-lighttpd --cgi "$tmp/closed/screenreceiver.cgi" --state-dir "$tmp/st" 2>&1 >/dev/null) && die "accepted"
[[ "$err" == *"account 'www-data' cannot enter $tmp/closed,"* ]] || die "configure-lighttpd did not name $tmp/closed: $err"
status() { dpkg-query -W -f='${db:Status-Status}' screenreceiver 2>/dev/null || true; }
[ "$(status)" != installed ] || die "screenreceiver is installed already: purge it first"
browser_deps
enabled=$(ls /etc/lighttpd/conf-enabled)
for again in "" --reinstall; do apt_get -y install $again "$PWD/$(ls dist/screenreceiver_*_amd64.deb)" >/dev/null; done
mapfile -t owned < <(dpkg -L screenreceiver | grep screenreceiver)
as_root runuser -u www-data -- test -w /var/log/screenreceiver -a -w /var/lib/screenreceiver || die "www-data cannot write the log or state folder"
as_root lighty-enable-mod screenreceiver >/dev/null
rc=0
as_root "${IN_NETNS[@]}" "$0" --serve "$bin" "$tmp" || rc=$?
apt_get -y purge screenreceiver >/dev/null
[ $rc -eq 0 ] || die "the installed page failed its checks"
for p in "${owned[@]}" /var/log/screenreceiver /var/lib/screenreceiver /etc/screenreceiver/password; do [ ! -e "$p" ] || die "left after purge: $p"; done
[[ "$(ls /etc/lighttpd/conf-enabled)" = "$enabled" && "$(status)" =~ ^(not-installed)?$ ]] || die "left: module or dpkg record"
echo "package-test: passed: ${archs[*]}"
