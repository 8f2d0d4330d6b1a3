#!/usr/bin/env bash
# Runs the control page's tests: its reply parser under Node, and the page itself in
# headless chromium against lighttpd, the CGI program and receiver-sim.
#   tests/browser/run.sh [--bin-dir DIR]
# --bin-dir  where screenreceiver.cgi and receiver-sim are (default build/bin)
# Installs what is missing first: chromium, nodejs and npm (Debian packages) and the
# pinned playwright-core (npm ci). Screenshots land beside the bin folder (page*.png).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin="$root/build/bin"

die() { echo "browser-test: $*" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --bin-dir) [ $# -ge 2 ] || die "--bin-dir needs a value"; bin=$2; shift 2 ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument: $1 (see --help)" ;;
  esac
done
for prog in screenreceiver.cgi receiver-sim; do
  [ -x "$bin/$prog" ] || die "$bin/$prog is missing: build the targets screenreceiver_cgi and receiver-sim"
done
bin=$(cd "$bin" && pwd)

# ---- what the test needs ----------------------------------------------------------
"$root/scripts/setup-deps" # lighttpd and curl
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  "$root/scripts/setup-deps" browser
elif [ ! -x /usr/bin/chromium ]; then
  # Node and npm are already there (possibly a Node build that bundles npm and
  # conflicts with Debian's npm package): add only the browser.
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "browser-test: installing chromium"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium >/dev/null
fi
[ -x /usr/bin/chromium ] || die "/usr/bin/chromium is missing after the install"

cd "$here"
pinned=$(node -p 'require("./package.json").devDependencies["playwright-core"]')
installed=$(node -p 'try { require("./node_modules/playwright-core/package.json").version } catch (e) { "" }')
if [ "$pinned" != "$installed" ]; then
  echo "browser-test: npm ci (playwright-core $pinned)"
  npm ci --no-audit --no-fund --loglevel=error
fi

# ---- run --------------------------------------------------------------------------
export SCREENRECEIVER_BIN_DIR="$bin"
exec node --test reply.test.js page.test.js
