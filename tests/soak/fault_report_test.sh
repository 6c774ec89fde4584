#!/usr/bin/env bash
# The ledger comparison must see every kind of loss: a small run directory where everything was
# kept passes, and each damage done to a copy of it (a video missing, cut short, saved twice, a
# temporary file left, a recording that does not play or is missing, a file outside the data
# directory, a recorder left running) fails the run with that row marked.
set -euo pipefail
report=$(cd "$(dirname "$0")" && pwd)/fault_report.sh
base=$(mktemp -d)
trap 'rm -rf "$base"' EXIT

sha() { sha256sum "$1" | cut -d' ' -f1; }
make_run() {
  local run=$1
  mkdir -p "$run/home/下载/账号1🐻" "$run/home/下载/账号2" "$run/home/download" "$run/cwd"
  printf 'clip one\0' >"$run/home/下载/账号1🐻/6990000000000000001-第1条 #日常.mp4"
  printf 'clip two, longer\0' >"$run/home/下载/账号2/6990000000000000002-第2条.mp4"
  # What the first post said and its cover, beside its video.
  printf '{"id":"6990000000000000001"}' >"$run/home/下载/账号1🐻/6990000000000000001-第1条 #日常.json"
  printf '\xff\xd8\xff' >"$run/home/下载/账号1🐻/6990000000000000001-第1条 #日常.jpg"
  printf 'clip three' >"$run/late"
  # Two shows of two rooms, 200 s and 300 s long; one recording of each, 4 s each.
  ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=5:duration=4 -c:v mpeg4 -y "$run/home/download/主播1🍊.mp4"
  cp "$run/home/download/主播1🍊.mp4" "$run/home/主播2.mp4"
  touch -d @1000290 "$run/home/download/主播1🍊.mp4"
  touch -d @1000390 "$run/home/主播2.mp4"
  {
    printf '1000000.000\tseed\t7\t0.1000\n'
    printf '1000100.000\tlive\t1\t7282900000000000001\n'
    printf '1000100.000\tlive\t2\t7282900000000000002\n'
    printf '1000110.000\tpost\t1\t6990000000000000001\t%s\t%s\n' 9 "$(sha "$run/home/下载/账号1🐻/6990000000000000001-第1条 #日常.mp4")"
    printf '1000120.000\tpost\t2\t6990000000000000002\t%s\t%s\n' 17 "$(sha "$run/home/下载/账号2/6990000000000000002-第2条.mp4")"
    # Made after the last full cycle began: not due.
    printf '1000395.000\tpost\t3\t6990000000000000003\t%s\t%s\n' 10 "$(sha "$run/late")"
    printf '1000300.000\tended\t1\t7282900000000000001\n'
    printf '1000400.000\tstop\n'
  } >"$run/ledger.tsv"
  rm "$run/late"
  {
    printf 'unix\tinstance\trss_kb\tthreads\tfds\tchildren\tcycles\n'
    for i in 1 2 3; do
      for t in 0 30 60 90; do
        printf '%d\t%d\t30000\t20\t40\t1\t%d\n' $((1000000 + i * 100 + t)) "$i" $((t / 30))
      done
    done
  } >"$run/samples.tsv"
  printf 'seed=7\nshare=0.1\nminutes=3\nquiet=60\npacing=0.1\ncodes="1:killed 2:term-0 3:duration-0"\nstuck=0\n' >"$run/params"
}

failures=0
check() {
  local name=$1 want_code=$2 want_row=$3 run=$base/$1
  local out code=0
  out=$("$report" "$run" 2>&1) || code=$?
  if [[ $code -ne $want_code ]] || ! grep -qE -- "$want_row" <<<"$out"; then
    echo "FAIL $name: exit $code (wanted $want_code), wanted a row with: $want_row"
    echo "$out"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

make_run "$base/intact"
v1="$base/%s/home/下载/账号1🐻/6990000000000000001-第1条 #日常.mp4"
# name | damage | the row that must say so (a pattern)
cases=(
  "missing|rm \"$(printf "$v1" missing)\"|saved exact +2 / 1 .*MISSED"
  "cut-short|truncate -s 4 \"$(printf "$v1" cut-short)\"|unplayable\) +1, 0, 0 .*MISSED"
  "saved-twice|cp \"$(printf "$v1" saved-twice)\" \"$base/saved-twice/home/下载/账号2/6990000000000000001-第1条.mp4\"|at once\) +1, 0 .*MISSED"
  "temporary-left|touch \"$base/temporary-left/home/下载/账号2/.vigilo-77-3.part\"|unplayable\) +0, 1, 0 .*MISSED"
  "unplayable|truncate -s 100 \"$base/unplayable/home/主播2.mp4\"|playable recording +2 / 1 .*MISSED"
  "not-recorded|rm \"$base/not-recorded/home/download/主播1🍊.mp4\"|playable recording +2 / 1 .*MISSED"
  "description-torn|truncate -s 5 \"$(printf "${v1%.mp4}.json" description-torn)\"|unplayable\) +1, 0, 0 .*MISSED"
  "cover-alone|rm \"$(printf "$v1" cover-alone)\"|unplayable\) +2, 0, 0 .*MISSED"
  "outside|touch \"$base/outside/cwd/stray.mp4\"|outside the data directory +1 .*MISSED"
  "recorder-left|sed -i s/stuck=0/stuck=1/ \"$base/recorder-left/params\"|left running after the run +1 .*MISSED"
  "killed-stop-failed|sed -i s/term-0/term-137/ \"$base/killed-stop-failed/params\"|MISSED: the program's stop 2:term-137"
)
check intact 0 "saved exact +2 / 2 \(of 3 made\) +all: met"
for c in "${cases[@]}"; do
  IFS='|' read -r name damage row <<<"$c"
  cp -a "$base/intact" "$base/$name"
  eval "$damage"
  check "$name" 1 "$row"
done
# A post made before the service first answered for its account is not due: the program could
# not tell it from the posts the account already had.
cp -a "$base/intact" "$base/answered-late"
awk -F'\t' -v OFS='\t' 'NR == 1 { print; print "1000050.000", "answered", "1"; print "1000050.000", "answered", "3"; next } { print }
  $2 == "post" && $3 == 2 { print "1000130.000", "answered", "2" }' "$base/intact/ledger.tsv" >"$base/answered-late/ledger.tsv"
rm "$base/answered-late/home/下载/账号2/6990000000000000002-第2条.mp4"
check answered-late 0 "saved exact +1 / 1 \(of 3 made\) +all: met"
check answered-late 0 "first answer \\(not due\\) +1 "
exit $((failures > 0))
