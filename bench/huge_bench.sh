#!/usr/bin/env bash
# One very large photo (12000x9000, 108 megapixels) through the classic conversion, against, in
# the same run and taking turns, djpeg decoding the same file. Prints the best wall time, the CPU
# time and the peak memory (maximum resident set) of each, and the ratios quillomat / djpeg.
# Targets: at most 8 s and 1.5 GB for quillomat-cli (the 8-bit frame alone is 108 MB).
#
# The photo is made with ffmpeg (a corpus photo enlarged, with a little noise) unless QM_HUGE_JPEG
# names one already made.
#
# usage: bench/huge_bench.sh BUILD_DIR [RUNS]
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-3}
cli="$build/bin/quillomat-cli"
[[ -x $cli ]] || { echo "no $cli: build the quillomat-cli target first" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (GNU time) for peak memory" >&2; exit 1; }
for tool in djpeg ffmpeg; do
  command -v "$tool" >/dev/null || { echo "needs $tool (libjpeg-turbo-progs, ffmpeg)" >&2; exit 1; }
done

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
photo=${QM_HUGE_JPEG:-}
if [[ -z $photo ]]; then
  photo="$work/huge.jpg"
  echo "making a 12000x9000 JPEG (takes a while on a busy machine)..."
  ffmpeg -nostdin -v error -i "$here/../../shared/corpus/photos/landscape/Landscape_0.jpg" \
    -vf "scale=12000:9000:flags=lanczos,noise=alls=3:allf=u" -frames:v 1 -q:v 3 "$photo"
fi

declare -A best_s best_cpu best_kb
run() {  # run NAME COMMAND...: one timed run, keeping the name's best wall time
  local name=$1
  shift
  /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" || {
    echo "$name failed:" >&2
    tail -5 "$work/err.txt" >&2
    exit 1
  }
  local s u sy kb
  read -r s u sy kb <"$work/time.txt"
  if [[ -z ${best_s[$name]:-} ]] || awk -v a="$s" -v b="${best_s[$name]}" 'BEGIN { exit !(a < b) }'; then
    best_s[$name]=$s
    best_cpu[$name]=$(awk -v u="$u" -v s="$sy" 'BEGIN { print u + s }')
    best_kb[$name]=$kb
  fi
}

echo "photo: $(du -h "$photo" | cut -f1) JPEG of 12000x9000, best of $runs runs, taking turns"
for ((r = 0; r < runs; r++)); do
  run quillomat "$cli" --quiet --out "$work/huge.gif" "$photo"
  run djpeg djpeg -outfile /dev/null "$photo"
done

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-12s %9s %9s %12s\n' tool "wall s" "cpu s" "peak MB"
for t in quillomat djpeg; do
  printf '%-12s %9.2f %9.2f %12.1f\n' "$t" "${best_s[$t]}" "${best_cpu[$t]}" \
    "$(awk -v k="${best_kb[$t]}" 'BEGIN { print k / 1024 }')"
done
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "NOT met"; fi; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "quillomat / djpeg:   wall $(ratio "${best_s[quillomat]}" "${best_s[djpeg]}")x" \
  " cpu $(ratio "${best_cpu[quillomat]}" "${best_cpu[djpeg]}")x" \
  " peak memory $(ratio "${best_kb[quillomat]}" "${best_kb[djpeg]}")x"
echo "quillomat wall time: ${best_s[quillomat]} s   (target <= 8 s: $(verdict "${best_s[quillomat]} <= 8"))"
echo "quillomat peak:      $((best_kb[quillomat] / 1024)) MB   (target <= 1536 MB: $(verdict "${best_kb[quillomat]} <= 1572864"))"
