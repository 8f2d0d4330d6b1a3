#!/usr/bin/env bash
# Checks the packages that scripts/package wrote into dist/.
#   tests/package/run.sh [--bin-dir DIR] [ARCH...]   ARCH default: every package in dist/
# Each: its files and modes, its architecture, its C library dependency. arm64 and armhf:
# the packaged program under qemu-user lists receiver-sim's senders. amd64: installed
# with apt on this machine (twice: the maintainer scripts run again), enabled with
# lighty-enable-mod, served by lighttpd with Debian's configuration against receiver-sim
# and checked in chromium (page.test.js); then purged, leaving nothing of it behind.
# receiver-sim comes from DIR (default build/bin). Needs root or sudo; the servers run in
# a network namespace of their own (the service's port is fixed).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
die() { echo "package-test: $*" >&2; exit 1; }
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# Inside the namespace: receiver-sim, then lighttpd as Debian configures it, then the page.
if [ "${1:-}" = --serve ]; then
  ip link set lo up
  "$2" --quiet --port 19996 --state-file "$3/sim.json" --ready-file "$3/sim.ready" &
  sim=$!
  lighttpd -D -f /etc/lighttpd/lighttpd.conf &
  httpd=$!
  trap 'kill $httpd $sim; wait' EXIT
  for _ in $(seq 100); do
    [ -s "$3/sim.ready" ] && curl -so /dev/null -m 2 http://127.0.0.1/screenreceiver/ && break
    sleep 0.1
  done
  PAGE_BASE=http://127.0.0.1 SIM_STATE="$3/sim.json" NODE_PATH="$root/tests/browser/node_modules" \
    node --test tests/package/page.test.js
  exit
fi

bin=build/bin
if [ "${1:-}" = --bin-dir ]; then bin=$2; shift 2; fi
bin=$(cd "$bin" && pwd)
archs=("$@")
if [ ${#archs[@]} -eq 0 ]; then
  for deb in dist/screenreceiver_*.deb; do archs+=("$(dpkg-deb -f "$deb" Architecture)"); done
fi
tmp=$(mktemp -d)
chmod 755 "$tmp"
trap 'rm -rf "$tmp"' EXIT

files='-rw-r--r-- ./etc/lighttpd/conf-available/50-screenreceiver.conf
-rw-r--r-- ./etc/logrotate.d/screenreceiver
-rwxr-xr-x ./usr/lib/cgi-bin/screenreceiver.cgi
-rw-r--r-- ./usr/share/doc/screenreceiver/changelog.gz
-rw-r--r-- ./usr/share/doc/screenreceiver/copyright
-rw-r--r-- ./usr/share/screenreceiver/app.js
-rw-r--r-- ./usr/share/screenreceiver/index.html
-rw-r--r-- ./usr/share/screenreceiver/style.css'
for a in "${archs[@]}"; do
  deb=$(ls dist/screenreceiver_*_"$a".deb) || die "no package for $a in dist/"
  echo "--- $deb"
  [ "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $6}')" = "$files" ] || die "$a: files differ"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$a" ] || die "$a: wrong Architecture"
  dpkg-deb -f "$deb" Depends | grep -Eqx 'libc6 \(>= 2\.[0-9]+\)' || die "$a: Depends on no libc6 version"
  case "$a" in
    amd64) machine='X86-64' ;;
    arm64) machine='AArch64'; run=(qemu-aarch64 -L /usr/aarch64-linux-gnu) ;;
    armhf) machine='ARM'; run=(qemu-arm -L /usr/arm-linux-gnueabihf) ;;
  esac
  dpkg-deb -x "$deb" "$tmp/$a"
  cgi="$tmp/$a/usr/lib/cgi-bin/screenreceiver.cgi"
  readelf -h "$cgi" | grep -Eq "Machine: .*$machine$" || die "$a: the program is not built for $machine"
  [ "$a" = amd64 ] || {
    out=$("${sudo[@]}" unshare -n sh -c 'ip link set lo up && { "$1" --quiet --port 19996 --ready-file "$2" & }
      for _ in $(seq 100); do [ -s "$2" ] && break; sleep 0.1; done
      REQUEST_METHOD=GET "$3" "$4" "$5" "$6"; echo "exit $?"; kill $!' sh \
      "$bin/receiver-sim" "$tmp/$a.ready" "${run[@]}" "$cgi")
    grep -qx '<total>4</total>' <<<"$out" && grep -qx 'exit 0' <<<"$out" ||
      die "$a: the packaged program under ${run[0]} listed no senders: $out"
  }
done

[[ " ${archs[*]} " == *" amd64 "* ]] || { echo "package-test: passed: ${archs[*]}"; exit 0; }
deb=$(ls "$root"/dist/screenreceiver_*_amd64.deb)
dpkg-query -W -f='${db:Status-Status}' screenreceiver 2>/dev/null | grep -qx installed &&
  die "screenreceiver is installed already: purge it first"
scripts/setup-deps browser
[ -d tests/browser/node_modules/playwright-core ] ||
  (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=600)
enabled_before=$(ls /etc/lighttpd/conf-enabled)
"${apt[@]}" install -y "$deb" >/dev/null
"${apt[@]}" install -y --reinstall "$deb" >/dev/null
mapfile -t owned < <(dpkg -L screenreceiver)
[ "$(stat -c '%U %a' /var/log/screenreceiver)" = "www-data 750" ] || die "no log folder for www-data"
"${sudo[@]}" lighty-enable-mod screenreceiver >/dev/null
rc=0
"${sudo[@]}" unshare -n "$0" --serve "$bin/receiver-sim" "$tmp" || rc=$?
"${apt[@]}" purge -y screenreceiver >/dev/null
[ $rc -eq 0 ] || die "the installed page failed its checks"

left=()
for p in "${owned[@]}" /var/log/screenreceiver /etc/lighttpd/conf-enabled/50-screenreceiver.conf; do
  [ -d "$p" ] && [ "$p" != /usr/share/screenreceiver ] && [ "$p" != /usr/share/doc/screenreceiver ] &&
    [ "$p" != /var/log/screenreceiver ] && continue # a folder other packages share
  [ -e "$p" ] || [ -L "$p" ] && left+=("$p")
done
[ ${#left[@]} -eq 0 ] || die "left after purge: ${left[*]}"
[ "$(ls /etc/lighttpd/conf-enabled)" = "$enabled_before" ] || die "lighttpd's enabled modules changed"
status=$(dpkg-query -W -f='${db:Status-Status}' screenreceiver 2>/dev/null || true)
[ -z "$status" ] || [ "$status" = not-installed ] || die "dpkg still has screenreceiver: $status"
echo "package-test: passed: ${archs[*]}"
