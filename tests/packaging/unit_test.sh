#!/usr/bin/env bash
# The systemd user unit: systemd's own checker finds nothing to say about it, and it keeps the
# recorders across a crash (only the program is signalled) while a stop still has time to
# finish them. Usage: unit_test.sh UNIT [PROGRAM] (PROGRAM stands in for /usr/bin/vigilo).
set -euo pipefail

unit=$1
program=${2:-/bin/true}
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze is not installed (Debian package systemd); the unit was not verified"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime" "$work/home"
sed "s#^ExecStart=/usr/bin/vigilo #ExecStart=$program #" "$unit" > "$work/vigilo.service"
grep -q "^ExecStart=$program --headless$" "$work/vigilo.service"

fail=0
# verify exits 0 even for settings it ignores; anything it says counts as a fault.
out=$(cd "$work" && HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" \
  systemd-analyze --user --man=no verify ./vigilo.service 2>&1) || fail=1
if [[ -n $out ]]; then
  echo "systemd-analyze verify:"
  echo "$out"
  fail=1
fi

expect() {  # key value: the unit sets key to exactly value
  local got
  got=$(sed -n "s/^$1=//p" "$unit")
  if [[ $got != "$2" ]]; then
    echo "$1 is '$got', expected '$2'"
    fail=1
  fi
}
expect KillMode process
expect Restart on-failure
expect RestartPreventExitStatus "1 2 3"
# 停止录制 gives the recorders about 25 s (quit key, then SIGINT, SIGTERM, SIGKILL); the stop
# time-out must leave them that and the collection.
stop=$(sed -n 's/^TimeoutStopSec=//p' "$unit")
if ! [[ $stop =~ ^[0-9]+$ ]] || ((stop < 60)); then
  echo "TimeoutStopSec is '$stop', expected at least 60 seconds"
  fail=1
fi
if grep -q '^ExecStop=' "$unit"; then
  echo "ExecStop is set: a stop must reach the program as SIGTERM"
  fail=1
fi
exit $fail
