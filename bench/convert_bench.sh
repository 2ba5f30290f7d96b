#!/usr/bin/env bash
# Whole-conversion benchmark: 24 frames (the 8 landscape photos three times) through
# quillomat-cli, against, in the same run, djpeg decoding the same files (the floor), ffmpeg and
# ImageMagick making a GIF of them, each when installed. Prints times, ratios and peak memory.
# Quillomat, djpeg and ffmpeg take turns run by run, so a machine whose speed drifts slows them
# alike; the ffmpeg ratio is also given as the median of the per-turn ratios (target: ffmpeg's
# default GIF encoding takes at least 1.25 times as long as the classic conversion).
#
# usage: bench/convert_bench.sh BUILD_DIR [RUNS]
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)
cli="$build/bin/quillomat-cli"
photos="$here/../../shared/corpus/photos/landscape"
[[ -x $cli ]] || { echo "no $cli: build the quillomat-cli target first" >&2; exit 1; }
[[ -d $photos ]] || { echo "no corpus at $photos" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (GNU time) for peak memory" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=()
n=0
for round in 1 2 3; do
  for i in 0 1 2 3 4 5 6 7; do
    files+=("$photos/Landscape_$i.jpg")
    # ffmpeg's image sequence input wants numbered names.
    ln -s "$photos/Landscape_$i.jpg" "$work/$(printf 'img%03d.jpg' "$n")"
    n=$((n + 1))
  done
done
frames=${#files[@]}
width=1800
height=1200

# measure NAME COMMAND...: best wall time (seconds), the CPU time (user + system) and the peak
# memory (kB) of that run. The machine may be shared, so the CPU times are the steadier figure.
declare -A secs cpu peak
measure() {
  local name=$1
  shift
  local best="" best_cpu=0 best_kb=0
  for ((r = 0; r < runs; r++)); do
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" || {
      echo "$name failed:" >&2
      tail -5 "$work/err.txt" >&2
      return 1
    }
    read -r s u sy kb <"$work/time.txt"
    if [[ -z $best ]] || awk -v a="$s" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$s
      best_cpu=$(awk -v u="$u" -v s="$sy" 'BEGIN { print u + s }')
      best_kb=$kb
    fi
  done
  secs[$name]=$best
  cpu[$name]=$best_cpu
  peak[$name]=$best_kb
}


echo "frames: $frames of ${width}x${height}, best of $runs runs, taking turns"
# One turn of each tool per run; `turn_ratio` keeps ffmpeg's wall time over quillomat's per turn.
turn_ratios=()
declare -A best_s best_cpu best_kb
keep() {  # keep NAME SECS CPU KB: each tool's best turn
  if [[ -z ${best_s[$1]:-} ]] || awk -v a="$2" -v b="${best_s[$1]}" 'BEGIN { exit !(a < b) }'; then
    best_s[$1]=$2 best_cpu[$1]=$3 best_kb[$1]=$4
  fi
}
for ((turn = 0; turn < runs; turn++)); do
  saved_runs=$runs
  runs=1
  measure quillomat "$cli" --fps 5 --quiet --out "$work/quillomat.gif" "${files[@]}"
  q_s=${secs[quillomat]} q_cpu=${cpu[quillomat]} q_kb=${peak[quillomat]}
  if command -v djpeg >/dev/null; then
    measure djpeg bash -c 'for f in "$@"; do djpeg -outfile /dev/null "$f"; done' _ "${files[@]}"
    d_s=${secs[djpeg]} d_cpu=${cpu[djpeg]} d_kb=${peak[djpeg]}
  fi
  if command -v ffmpeg >/dev/null; then
    measure ffmpeg ffmpeg -nostdin -v error -y -framerate 10 -i "$work/img%03d.jpg" "$work/ffmpeg.gif"
    f_s=${secs[ffmpeg]} f_cpu=${cpu[ffmpeg]} f_kb=${peak[ffmpeg]}
    turn_ratios+=("$(awk -v a="$f_s" -v b="$q_s" 'BEGIN { printf "%.3f", a / b }')")
  fi
  runs=$saved_runs
  keep quillomat "$q_s" "$q_cpu" "$q_kb"
  [[ -n ${d_s:-} ]] && keep djpeg "$d_s" "$d_cpu" "$d_kb"
  [[ -n ${f_s:-} ]] && keep ffmpeg "$f_s" "$f_cpu" "$f_kb"
done
for t in quillomat djpeg ffmpeg; do
  [[ -n ${best_s[$t]:-} ]] || continue
  secs[$t]=${best_s[$t]} cpu[$t]=${best_cpu[$t]} peak[$t]=${best_kb[$t]}
done
if command -v convert >/dev/null; then
  runs=1  # about a minute a run
  measure imagemagick convert -delay 20 -loop 0 "${files[@]}" "$work/imagemagick.gif" || true
fi

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-12s %9s %9s %12s\n' tool "wall s" "cpu s" "peak MB"
for t in quillomat djpeg ffmpeg imagemagick; do
  [[ -n ${secs[$t]:-} ]] || continue
  printf '%-12s %9.2f %9.2f %12.1f\n' "$t" "${secs[$t]}" "${cpu[$t]}" \
    "$(awk -v k="${peak[$t]}" 'BEGIN { print k / 1024 }')"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "NOT met"; fi; }
# compare LABEL OTHER TARGET-EXPRESSION(r) INVERT: ratios on wall and on CPU time.
compare() {
  local label=$1 other=$2 target=$3 invert=$4 rw rc
  [[ -n ${secs[$other]:-} ]] || return 0
  if [[ $invert == 1 ]]; then
    rw=$(ratio "${secs[$other]}" "${secs[quillomat]}")
    rc=$(ratio "${cpu[$other]}" "${cpu[quillomat]}")
  else
    rw=$(ratio "${secs[quillomat]}" "${secs[$other]}")
    rc=$(ratio "${cpu[quillomat]}" "${cpu[$other]}")
  fi
  printf '%-32s wall %6sx  cpu %6sx   (target %s: wall %s, cpu %s)\n' "$label" "$rw" "$rc" \
    "${target//r/}" "$(verdict "$rw ${target#r}")" "$(verdict "$rc ${target#r}")"
}
echo
compare "quillomat / djpeg decode-only:" djpeg "r<= 3" 0
compare "ffmpeg / quillomat:" ffmpeg "r>= 1.25" 1
if ((${#turn_ratios[@]} > 0)); then
  median=$(printf '%s\n' "${turn_ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
  printf '%-32s wall %6sx  median of %d turns (%s)   (target >= 1.25: %s)\n' "ffmpeg / quillomat per turn:" \
    "$median" "${#turn_ratios[@]}" "${turn_ratios[*]}" "$(verdict "$median >= 1.25")"
fi
compare "imagemagick / quillomat:" imagemagick "r>= 10" 1
limit_kb=$(awk -v f="$frames" -v w="$width" -v h="$height" 'BEGIN { printf "%d", (f * w * h * 1.3 + 64 * 1048576) / 1024 }')
echo "quillomat peak memory:          $((peak[quillomat] / 1024)) MB   (limit $((limit_kb / 1024)) MB: $(verdict "${peak[quillomat]} <= $limit_kb"))"
