#!/usr/bin/env bash
# Runs the web front's tests: web.test.js (lighttpd with the installed page, program and
# configuration against receiver-sim, by raw HTTP and in headless chromium; as root in a
# network namespace of its own, with the firewall ruleset) and reply.test.js (the page's
# reading of replies, under Node). Installs what is missing
# first: Debian packages (scripts/setup-deps browser) and the pinned npm packages.
#   tests/browser/run.sh [--bin-dir DIR]   the build tree's bin folder, default build/bin
# Screenshots land beside the bin folder (page*.png).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$here/../../build/bin
die() { echo "web-test: $*" >&2; exit 2; }
if [ $# -eq 2 ] && [ "$1" = --bin-dir ]; then bin=$2; elif [ $# -ne 0 ]; then die "usage: $0 [--bin-dir DIR]"; fi
for prog in screenreceiver.cgi receiver-sim; do
  [ -x "$bin/$prog" ] || die "$bin/$prog is missing: build the targets screenreceiver_cgi and receiver-sim"
done
bin=$(cd "$bin" && pwd)

"$here/../../scripts/setup-deps" browser
cd "$here"
# npm ci whenever node_modules does not hold the versions that the lock file pins.
node -e 'const pins = (f) => Object.entries(require(f).packages).filter(([k]) => k).map(([k, v]) => k + v.version);
  process.exit(String(pins("./package-lock.json")) === String(pins("./node_modules/.package-lock.json")) ? 0 : 1)' \
  2>/dev/null || npm ci --no-audit --no-fund --loglevel=error
ns=() # a namespace of its own: ports of its own and, where nft works, the firewall ruleset
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  ns=(unshare -n env "WEB_TEST_NETNS=$(unshare -n nft list tables >/dev/null 2>&1 && echo 1 || true)" sh -c 'ip link set lo up && exec "$@"' sh)
fi
SCREENRECEIVER_BIN_DIR=$bin exec "${ns[@]}" node --test reply.test.js web.test.js
