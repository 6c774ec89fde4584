#!/usr/bin/env bash
# The ledger of a soak under faults against what the program kept: prints one table and exits
# 1 when a target is missed.
#   tests/soak/fault_report.sh RUN
# RUN holds ledger.tsv (the service's: "<unix time>\t<what>\t..." lines: post, live, ended,
# stop), samples.tsv (unix time, instance, RSS, threads, descriptors, children, works cycles
# ended so far), params (pacing, codes of the program's stops, recorders that did not end),
# home/ (the program's data directory) and cwd/ (its current directory, to stay empty).
set -euo pipefail
run=${1:?usage: fault_report.sh RUN}
home=$run/home
[[ -f $run/ledger.tsv && -f $run/samples.tsv && -f $run/params && -d $home ]] ||
  { echo "fault_report: $run is not a finished run" >&2; exit 2; }
# shellcheck disable=SC1091
source "$run/params"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A post is due when it was made before the last full works cycle of the last instance began:
# cycle ends are seen between two samples, so the earlier sample is the safe bound.
last_instance=$(awk -F'\t' 'NR > 1 { i = $2 } END { print i + 0 }' "$run/samples.tsv")
cutoff=$(awk -F'\t' -v inst="$last_instance" '
  NR > 1 && $2 == inst { n++; t[n] = $1; c[n] = $7 }
  END {
    if (n == 0 || c[n] < 2) { print "none"; exit }
    for (i = 1; i <= n; i++) if (c[i] >= c[n] - 1) { printf "%.3f\n", (i > 1 ? t[i - 1] : t[i]); exit }
  }' "$run/samples.tsv")

# Every regular file under the downloads folder: id (the name up to its first "-"), size,
# digest, path.
: >"$work/saved.tsv"
if [[ -d $home/下载 ]]; then
  while IFS= read -r -d '' f; do
    name=${f##*/}
    # Temporary files are counted on their own below.
    [[ $name == *.part || $name == *.tmp || $name == *.tmp.* || $name == *.partial ]] && continue
    # What a post said and its cover lie beside its video; one without its video, or a
    # description that is not whole JSON, counts as a damaged file.
    if [[ $name == *.json || $name == *.jpg ]] && [[ -f ${f%.*}.mp4 ]]; then
      [[ $name == *.jpg ]] && continue
      /usr/bin/python3 -m json.tool "$f" >/dev/null 2>&1 && continue
    fi
    id=${name%%-*}
    [[ $name == *.mp4 && $id =~ ^[0-9]+$ ]] || id=-
    printf '%s\t%s\t%s\t%s\n' "$id" "$(stat -c %s "$f")" "$(sha256sum "$f" | cut -d' ' -f1)" "$f" >>"$work/saved.tsv"
  done < <(find "$home/下载" -type f -print0)
fi

# Posts there before the program started ("existing") are not new to it; a copy of one is
# counted apart, neither lost nor damaged when its bytes are exact. A post made before the
# service's first whole profile answer about its account ("answered") cannot be told from the
# ones the account already had, so it is not due either (a ledger without such lines: every
# account counts as answered from the start).
if grep -q $'\tanswered\t' "$run/ledger.tsv"; then answers=1; else answers=0; fi
read -r posts_due posts_saved posts_made bad_videos dup_videos earlier unseeable < <(awk -F'\t' -v cutoff="$cutoff" -v answers="$answers" '
  FILENAME == ARGV[1] && $2 == "answered" { answered[$3] = 1; next }
  FILENAME == ARGV[1] && ($2 == "post" || $2 == "existing") {
    size[$4] = $5; sha[$4] = $6
    if ($2 == "existing") { old[$4] = 1; next }
    made++
    if (answers && !($3 in answered)) { blind++; next }
    if (cutoff != "none" && $1 < cutoff) due[$4] = 1
    next
  }
  FILENAME == ARGV[2] {
    if ($1 in sha) { copies[$1]++; if ($2 == size[$1] && $3 == sha[$1]) exact[$1] = 1; else bad++ }
    else bad++
    next
  }
  END {
    for (id in due) { ndue++; if (id in exact) nsaved++ }
    for (id in copies) { if (copies[id] > 1) dup += copies[id] - 1; if ((id in old) && (id in exact)) earlier++ }
    print ndue + 0, nsaved + 0, made + 0, bad + 0, dup + 0, earlier + 0, blind + 0
  }' "$run/ledger.tsv" "$work/saved.tsv")
# Which due posts are missing, for the reader.
awk -F'\t' -v cutoff="$cutoff" -v answers="$answers" '
  FILENAME == ARGV[1] && $2 == "answered" { answered[$3] = 1; next }
  FILENAME == ARGV[1] && $2 == "post" && cutoff != "none" && $1 < cutoff && (!answers || ($3 in answered)) {
    due[$4] = $1; sha[$4] = $6; next }
  FILENAME == ARGV[2] && ($1 in sha) && $3 == sha[$1] { delete due[$1] }
  END { for (id in due) printf "missing video: post %s made at %.0f\n", id, due[id] }' \
  "$run/ledger.tsv" "$work/saved.tsv" | sort >"$run/missing.txt"

# Recordings: the MP4s in the data directory and in its download folder, named after the
# room's owner ("主播<n>…"). Each is probed; its span ends at its last write.
: >"$work/recordings.tsv"
while IFS= read -r -d '' f; do
  name=${f##*/}
  [[ $name =~ 主播([0-9]+) ]] || continue
  owner=${BASH_REMATCH[1]}
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f" 2>/dev/null | head -1 || true)
  [[ $duration =~ ^[0-9.]+$ ]] || duration=bad
  printf '%s\t%s\t%s\t%s\n' "$owner" "$(stat -c %Y "$f")" "$duration" "$f" >>"$work/recordings.tsv"
done < <(find "$home" -maxdepth 1 -type f -name '*.mp4' -print0; [[ -d $home/download ]] && find "$home/download" -maxdepth 1 -type f -name '*.mp4' -print0)

pass=$(awk -v p="$pacing" 'BEGIN { printf "%.0f", 300 * p }')
read -r shows_due shows_recorded show_secs rec_secs unplayable dup_recordings < <(awk -F'\t' -v pass="$pass" '
  FILENAME == ARGV[1] {
    if ($2 == "live") { n++; room[n] = $3; from[n] = $1; to[n] = ""; open[$3] = n }
    else if ($2 == "ended" && ($3 in open)) { to[open[$3]] = $1; delete open[$3] }
    else if ($2 == "stop") stop = $1
    next
  }
  {
    r++; rroom[r] = $1; rend[r] = $2; rdur[r] = $3
    if ($3 == "bad") bad++
  }
  END {
    for (i = 1; i <= n; i++) if (to[i] == "") to[i] = stop
    for (i = 1; i <= n; i++) {
      if (to[i] - from[i] <= pass) continue
      due++; secs += to[i] - from[i]
      # The recordings of this show, clipped to it, merged where they overlap.
      m = 0; plays = 0
      for (k = 1; k <= r; k++) {
        if (rroom[k] != room[i] || rdur[k] == "bad") continue
        s = rend[k] - rdur[k]; e = rend[k]
        if (s < from[i]) s = from[i]; if (e > to[i] + 5) e = to[i] + 5; if (e > to[i]) e = to[i]
        if (e <= s) continue
        m++; st[m] = s; en[m] = e; plays = 1
      }
      if (plays) recorded++
      # Insertion sort by start, then the union, and what two recorders covered at once.
      for (a = 2; a <= m; a++) for (b = a; b > 1 && st[b] < st[b - 1]; b--) {
        x = st[b]; st[b] = st[b - 1]; st[b - 1] = x; x = en[b]; en[b] = en[b - 1]; en[b - 1] = x }
      reach = -1
      for (a = 1; a <= m; a++) {
        if (st[a] >= reach) { got += en[a] - st[a]; reach = en[a] }
        else {
          if (en[a] > reach) { got += en[a] - reach }
          both = (en[a] < reach ? en[a] : reach) - st[a]
          if (both > 10) dup++
          if (en[a] > reach) reach = en[a]
        }
      }
    }
    printf "%d %d %.0f %.0f %d %d\n", due, recorded, secs, got, bad, dup
  }' "$run/ledger.tsv" "$work/recordings.tsv")

# Left half-written: the downloads' temporary files and the link files' temporary copies,
# anywhere in the data directory. Outside it: anything in the program's current directory.
partial=$(find "$home" -type f \( -name '*.part' -o -name '*.tmp' -o -name '*.tmp.*' -o -name '*.partial' \) | wc -l)
outside=$(find "$run/cwd" -mindepth 1 | wc -l)
find "$home" -type f \( -name '*.part' -o -name '*.tmp' -o -name '*.tmp.*' -o -name '*.partial' \) \
  -printf 'half-written: %P\n' >>"$run/missing.txt"
find "$run/cwd" -mindepth 1 -printf 'outside the data directory: %P\n' >>"$run/missing.txt"
awk -F'\t' '$3 == "bad" { print "unplayable recording: " $4 }' "$work/recordings.tsv" >>"$run/missing.txt"

verdict=0
# Sets v to the verdict of the test given.
judge() { if "$@"; then v=met; else v=MISSED; verdict=1; fi; }
row() { printf '%-58s %-26s %s\n' "$1" "$2" "$3"; }
echo
echo "== ledger (seed $seed, fault share $share, $minutes min, the last $quiet s without faults) =="
row "" "figure" "target"
judge test "$cutoff" != none -a "$posts_saved" -eq "$posts_due"
row "posts due (made before the last full cycle) / saved exact" "$posts_due / $posts_saved (of $posts_made made)" "all: $v"
row "posts older than the run, saved as well" "$earlier" "a figure"
row "posts made before their account's first answer (not due)" "$unseeable" "a figure"
judge test "$shows_recorded" -eq "$shows_due"
row "shows longer than a pass (${pass}s) / with a playable recording" "$shows_due / $shows_recorded" "all: $v"
pct=$(awk -v a="$rec_secs" -v b="$show_secs" 'BEGIN { printf "%.1f", (b > 0 ? 100 * a / b : 0) }')
row "their seconds recorded / on air" "$rec_secs / $show_secs ($pct %)" "a figure"
judge test $((bad_videos + partial + unplayable)) -eq 0
row "files half-written (wrong bytes, temporary, unplayable)" "$bad_videos, $partial, $unplayable" "none: $v"
judge test $((dup_videos + dup_recordings)) -eq 0
row "files duplicated (videos, recordings of one show at once)" "$dup_videos, $dup_recordings" "none: $v"
judge test "$outside" -eq 0
row "files outside the data directory" "$outside" "none: $v"
judge test "$stuck" -eq 0
row "recorders left running after the run" "$stuck" "none: $v"

# Memory, threads and descriptors: each instance's peak once its first third (at most a minute)
# has passed, and the last instance's against the first's. Flat: within a tenth or a small
# floor (8 MB, 2 threads, 4 descriptors).
awk -F'\t' '
  NR == 1 { next }
  { n++; t[n] = $1; inst[n] = $2; v1[n] = $3 / 1024; v2[n] = $4; v3[n] = $5
    if (!($2 in first)) first[$2] = $1; lastt[$2] = $1; if ($2 > last) last = $2 }
  END {
    for (i = 1; i <= n; i++) {
      k = inst[i]; skip = (lastt[k] - first[k]) / 3; if (skip > 60) skip = 60
      if (t[i] - first[k] < skip) continue
      seen[k] = 1
      if (v1[i] > rss[k]) rss[k] = v1[i]; if (v2[i] > thr[k]) thr[k] = v2[i]; if (v3[i] > fds[k]) fds[k] = v3[i]
    }
    if (!(1 in seen) || !(last in seen) || last < 2) {
      printf "%-58s %s\n", "peak RSS, threads, descriptors of each run", "too few samples: MISSED"; exit 1 }
    split("8 2 4", floor, " ")
    flat = 1
    for (k = 1; k <= 3; k++) {
      a = k == 1 ? rss[1] : k == 2 ? thr[1] : fds[1]; b = k == 1 ? rss[last] : k == 2 ? thr[last] : fds[last]
      limit = 0.1 * a; if (limit < floor[k]) limit = floor[k]
      if (b - a > limit) flat = 0
    }
    line = ""
    for (i = 1; i <= last; i++) line = line sprintf("%s%.1f MB, %d, %d", (i > 1 ? " | " : ""), rss[i], thr[i], fds[i])
    printf "%-58s %-26s %s\n", "peak RSS, threads, descriptors of each run", line, "flat: " (flat ? "met" : "MISSED")
    exit !flat
  }' "$run/samples.tsv" || verdict=1
echo "program stops: $codes (killed, SIGTERM, --duration: the exit codes)"
for c in $codes; do
  case $c in 1:killed | 2:term-0 | 3:duration-0) ;; *) verdict=1; echo "MISSED: the program's stop $c" ;; esac
done
echo "faults played by the service:"
awk -F'\t' '$2 == "played" { printf "  %-28s %s\n", $3, $4 } $2 == "outage" { o++ } $2 == "stall" { s++ } $2 == "refusing" { r++ } $2 == "throttle" { t++ }
  END { printf "  video server outages %d, stream stalls %d, moments refusing connections %d, throttling episodes %d\n", o, s, r, t }' "$run/ledger.tsv"
if [[ -s $run/missing.txt ]]; then
  echo "what was lost ($run/missing.txt):"
  head -20 "$run/missing.txt" | sed 's/^/  /'
fi
exit $verdict
