#!/usr/bin/env bash
# Runs the web front's tests: web.test.js (lighttpd with the installed page, program and
# configuration against receiver-sim, by raw HTTP and in headless chromium; as root in a
# network namespace of its own, with the firewall ruleset) and reply.test.js (the page's
# reading of replies, under Node). Installs what is missing
# first: Debian packages (scripts/setup-deps browser) and the pinned npm packages.
#   tests/browser/run.sh [--bin-dir DIR]   the build tree's bin folder, default build/bin
# Screenshots land beside the bin folder (page*.png).
set -euo pipefail

# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"
lib_init web-test
bin=$lib_root/build/bin
if [ $# -eq 2 ] && [ "$1" = --bin-dir ]; then bin=$(absolute "$2"); elif [ $# -ne 0 ]; then die "usage: $0 [--bin-dir DIR]"; fi
need_programs "$bin" "build the targets screenreceiver_cgi, receiver-sim and screenreceiverctl" screenreceiver.cgi receiver-sim screenreceiverctl

browser_deps
cd "$lib_root/tests/browser"
ns=() # a namespace of its own: ports of its own and, where nft works, the firewall ruleset
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  ns=(env "WEB_TEST_NETNS=$(unshare -n nft list tables >/dev/null 2>&1 && echo 1 || true)" "${IN_NETNS[@]}")
fi
SCREENRECEIVER_BIN_DIR=$bin exec "${ns[@]}" node --test reply.test.js web.test.js
