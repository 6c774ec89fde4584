#!/usr/bin/env bash
# The soak under faults (scripts/soak --faults): the real program against a service that fails
# a share of its answers at random, takes the video server down for a while, stalls streams and
# refuses connections for a moment; the program is killed with SIGKILL midway and started
# again on the same data directory, later stopped with SIGTERM and started again, and stopped
# for good at the end of the run. Then the service's ledger (every post and show) is compared
# with what the data directory kept (tests/soak/ledger_report.sh), next to the memory, threads
# and descriptors the program held.
#   scripts/soak --faults [MINUTES]   run length (default 30)
#   SOAK_FAULT_SHARE=P     share of answers that fail (default 0.10)
#   SOAK_SEED=N            seed of the faults and of who posts (default: from the clock, printed)
#   SOAK_PACING=X          VIGILO_PACING_SCALE of the program (default 0.25)
#   SOAK_ACCOUNTS, SOAK_ROOMS, SOAK_LIVE, SOAK_POST_EVERY, SOAK_ROTATE_EVERY   the world
#                          (default 500, 20, 10, 10 s, 60 s)
#   SOAK_OUTAGE_EVERY, SOAK_OUTAGE_LENGTH, SOAK_STALL_EVERY   scheduled faults (300, 60, 45 s)
#   SOAK_THROTTLE_EVERY, SOAK_THROTTLE_LENGTH, SOAK_THROTTLE_LIMIT   throttling: the API allows
#                          only LIMIT requests a minute, the rest 429 (240 s, 60 s, 120)
#   SOAK_QUIET=S           the last S seconds run without faults (default a tenth of the run,
#                          at least 60 s), so what failed late can still be fetched
#   SOAK_SAMPLE=S          seconds between samples (default 2)
#   SOAK_BUILD=DIR         use the programs already built in DIR (tests) instead of building
#   SOAK_RUN=DIR           where the run goes (default build/soak/faults; replaced each time)
# Exit status 1 when a target is missed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

minutes=${1:-30}
[[ $minutes =~ ^[0-9]+$ && $minutes -gt 0 ]] || { echo "usage: scripts/soak --faults [MINUTES]" >&2; exit 2; }
seconds=$((minutes * 60))
share=${SOAK_FAULT_SHARE:-0.10}
seed=${SOAK_SEED:-$(( $(date +%s) % 1000000 ))}
pacing=${SOAK_PACING:-0.25}
every=${SOAK_SAMPLE:-2}
quiet=${SOAK_QUIET:-$((seconds / 10 > 60 ? seconds / 10 : 60))}
((quiet < seconds / 2)) || quiet=$((seconds / 2))

if [[ -n ${SOAK_BUILD:-} ]]; then
  build=$SOAK_BUILD
else
  build=$root/build/soak
  scripts/bootstrap >/dev/null
  echo "== building the program and the soak service ($build) =="
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIGILO_GUI=OFF "${launcher[@]}" >/dev/null
  cmake --build "$build" -j "$(nproc)" --target vigilo vigilo-soak-sim >/dev/null
fi
vigilo=$build/src/vigilo
soaksim=$build/tests/soak/vigilo-soak-sim
[[ -x $vigilo && -x $soaksim ]] || { echo "soak: $vigilo or $soaksim missing" >&2; exit 2; }

run=$(realpath -m "${SOAK_RUN:-$build/faults}")
rm -rf "$run"
mkdir -p "$run/home" "$run/cwd"

sim_pid= vigilo_pid=
orphans=()
# A recorder the program left: still an ffmpeg working in this run's data directory (its id may
# have been reused by another process since it was seen).
recorder_alive() {
  [[ $(readlink "/proc/$1/cwd" 2>/dev/null) == "$run/home" && $(cat "/proc/$1/comm" 2>/dev/null) == ffmpeg ]]
}
cleanup() {
  [[ -n $vigilo_pid ]] && kill -KILL "$vigilo_pid" 2>/dev/null || true
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null || true
  for pid in "${orphans[@]}"; do recorder_alive "$pid" && kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

echo "== seed $seed, fault share $share, $minutes min (the last $quiet s without faults), pacing x$pacing =="
"$soaksim" --data-dir "$run/home" --env-file "$run/env" --ledger "$run/ledger.tsv" \
  --accounts "${SOAK_ACCOUNTS:-500}" --rooms "${SOAK_ROOMS:-20}" --live "${SOAK_LIVE:-10}" \
  --post-every "${SOAK_POST_EVERY:-10}" --rotate-every "${SOAK_ROTATE_EVERY:-60}" \
  --fault-share "$share" --seed "$seed" --faults-for $((seconds - quiet)) \
  --outage-every "${SOAK_OUTAGE_EVERY:-300}" --outage-length "${SOAK_OUTAGE_LENGTH:-60}" \
  --throttle-every "${SOAK_THROTTLE_EVERY:-240}" --throttle-length "${SOAK_THROTTLE_LENGTH:-60}" \
  --throttle-limit "${SOAK_THROTTLE_LIMIT:-120}" \
  --stall-every "${SOAK_STALL_EVERY:-45}" >"$run/sim.out" 2>"$run/sim.err" &
sim_pid=$!
for _ in $(seq 600); do
  grep -q ' ready ' "$run/sim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "soak: the service did not start" >&2; cat "$run/sim.err" >&2; exit 1; }
  sleep 0.2
done
grep -q ' ready ' "$run/sim.out" || { echo "soak: the service did not get ready" >&2; exit 1; }
# shellcheck disable=SC1091
source "$run/env"
export VIGILO_HOME=$run/home VIGILO_PACING_SCALE=$pacing

start=$(date +%s.%N)
elapsed() { awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN {printf "%d", a - b}'; }
instance=0
start_program() {
  instance=$((instance + 1))
  local left=$((seconds - $(elapsed)))
  ((left > 1)) || left=1
  # The current directory is an empty one of its own, so a file written outside the data
  # directory shows there.
  # --verbose: the countdown's "0" that ends each cycle is counted below.
  (cd "$run/cwd" && exec "$vigilo" --headless --verbose --status-json "$run/status.json" --duration "$left" \
    >"$run/vigilo.$instance.out" 2>"$run/vigilo.$instance.err") &
  vigilo_pid=$!
  echo "$(date +%s.%N) start $instance $vigilo_pid" >>"$run/schedule"
}

echo -e "unix\tinstance\trss_kb\tthreads\tfds\tchildren\tcycles" >"$run/samples.tsv"
sample() {
  local status links
  status=$(cat "/proc/$vigilo_pid/status" 2>/dev/null) || return 0
  # Its recorders as last seen: whatever of them outlives the program is waited for at the end.
  pgrep -P "$vigilo_pid" >"$run/children.$instance" || true
  links=$(find "/proc/$vigilo_pid/fd" -mindepth 1 -maxdepth 1 -printf '%l\n' 2>/dev/null || true)
  echo -e "$(date +%s.%N)\t$instance\t$(awk '/^VmRSS:/ {print $2}' <<<"$status")\t$(awk '/^Threads:/ {print $2}' <<<"$status")\t$(grep -c . <<<"$links")\t$(pgrep -P "$vigilo_pid" | wc -l)\t$(grep -c '^0$' "$run/vigilo.$instance.out")" >>"$run/samples.tsv"
}
# Samples until the program ends or the run reaches `until` seconds; 0 when it is still running.
run_until() {
  local until=$1
  while kill -0 "$vigilo_pid" 2>/dev/null && (($(elapsed) < until)); do
    sample
    sleep "$every"
  done
  kill -0 "$vigilo_pid" 2>/dev/null
}

codes=()
set +e
start_program
kill_at=$((seconds * 2 / 5)) term_at=$((seconds * 7 / 10))
echo "== instance 1 until ${kill_at}s, then SIGKILL =="
if run_until "$kill_at"; then
  # Its recorders are meant to outlive it: they are waited for at the end.
  pgrep -P "$vigilo_pid" >"$run/children.$instance" || true
  kids=$(grep -c . "$run/children.$instance" || true)
  kill -KILL "$vigilo_pid"
  wait "$vigilo_pid"
  codes+=("1:killed")
  echo "$(date +%s.%N) kill 1 $kids recorders left running" >>"$run/schedule"
else
  wait "$vigilo_pid"; codes+=("1:ended-early-$?")
fi
start_program
echo "== instance 2 until ${term_at}s, then SIGTERM =="
if run_until "$term_at"; then
  kill -TERM "$vigilo_pid"
  echo "$(date +%s.%N) term 2" >>"$run/schedule"
  # A stopped program ends by itself; one that has not after a minute is a fault, not a wait.
  for _ in $(seq 300); do kill -0 "$vigilo_pid" 2>/dev/null || break; sleep 0.2; done
  if kill -0 "$vigilo_pid" 2>/dev/null; then kill -KILL "$vigilo_pid"; fi
  wait "$vigilo_pid"; codes+=("2:term-$?")
else
  wait "$vigilo_pid"; codes+=("2:ended-early-$?")
fi
start_program
echo "== instance 3 until the end (${seconds}s, --duration) =="
run_until $((seconds + 120))
if kill -0 "$vigilo_pid" 2>/dev/null; then kill -KILL "$vigilo_pid"; fi
wait "$vigilo_pid"; codes+=("3:duration-$?")
vigilo_pid=
echo "$(date +%s.%N) stop 3" >>"$run/schedule"

for i in $(seq "$instance"); do
  [[ -f $run/children.$i ]] && mapfile -t -O "${#orphans[@]}" orphans <"$run/children.$i"
done
# The service ends, and with it the streams the left-over recorders read: they end too.
kill "$sim_pid"; wait "$sim_pid"; sim_pid=
stuck=0
for pid in "${orphans[@]}"; do
  for _ in $(seq 150); do recorder_alive "$pid" || break; sleep 0.2; done
  if recorder_alive "$pid"; then stuck=$((stuck + 1)); kill -KILL "$pid"; fi
done
orphans=()
set -e

printf 'seed=%s\nshare=%s\nminutes=%s\nquiet=%s\npacing=%s\ncodes="%s"\nstuck=%s\n' \
  "$seed" "$share" "$minutes" "$quiet" "$pacing" "${codes[*]}" "$stuck" >"$run/params"
exec "$root/tests/soak/fault_report.sh" "$run"
