# Shared pieces of the robustness scripts (sourced, not run): process clean-up, the
# receiver-sim on the program's fixed port, and a small pass/fail harness.
# The sourcing script sets $bin (where the programs are) and $work (a scratch folder),
# and installs the EXIT trap that calls cleanup.
# shellcheck shell=bash
# shellcheck disable=SC2154  # bin and work come from the sourcing script

# shellcheck source=../lib/servers.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/servers.sh"

passed=0
failed=0

die() { echo "${0##*/}: $*" >&2; exit 2; }

check() { # name, then a command that succeeds when the check passes
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok - $name"
  else
    failed=$((failed + 1))
    echo "not ok - $name"
  fi
}

same() { # expected, actual
  [ "$1" = "$2" ] && return 0
  echo "  expected: $(printf '%q' "$1")"
  echo "  actual:   $(printf '%q' "$2")"
  return 1
}

# No run of the program under test is left behind (one that is just exiting gets a moment).
no_cgi_left() {
  local left
  for _ in $(seq 50); do
    left=$(pgrep -f "$bin/screenreceiver.cgi" || true)
    [ -z "$left" ] && return 0
    sleep 0.1
  done
  echo "  still running: $left"
  return 1
}

# An XML list reply (no header): <return>, <total>N</total>, N well-formed records,
# </return>, and nothing else.
well_formed_list() {
  python3 - "$1" <<'EOF'
import re, sys
lines = sys.argv[1].split("\n")
if lines and lines[-1] == "":
    lines.pop()
def bad(why):
    print("  not a well-formed list reply (%s): %r" % (why, sys.argv[1][:400]))
    sys.exit(1)
if len(lines) < 3 or lines[0] != "<return>" or lines[-1] != "</return>":
    bad("frame")
m = re.fullmatch(r"<total>(\d+)</total>", lines[1])
if not m:
    bad("total")
body = lines[2:-1]
if len(body) != 6 * int(m.group(1)):
    bad("record count")
pattern = [r"<conference>", r"<username>[^<>&]*</username>", r"<frame>-?\d+</frame>",
           r"<ip>\d+\.\d+\.\d+\.\d+</ip>", r"<apptype>-?\d+</apptype>", r"</conference>"]
for i in range(0, len(body), 6):
    for line, pat in zip(body[i:i + 6], pattern):
        if not re.fullmatch(pat, line):
            bad("record %d, line %r" % (i // 6, line))
EOF
}
