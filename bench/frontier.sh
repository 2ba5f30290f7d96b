#!/usr/bin/env bash
# The quality frontier under a size cap. For each set of bench/photo_sets.sh and for budgets of
# 1.0, 0.6 and 0.4 times the size of ffmpeg's default GIF (palettegen + paletteuse), in the same
# run:
#   quillomat   quillomat-cli --best --max-size BUDGET
#   gifski      the highest -Q of 100, 90, ..., 10 whose GIF fits the budget
#   gifsicle    ffmpeg's GIF through gifsicle -O3 --lossy=L, the lowest L of 0, 10, ..., 200 that
#               fits
# with each one's size and plain / blurred PSNR against the source frames (GIFs decoded by
# ffmpeg; smaller frames scaled back to 640x480 with Lanczos). Target: quillomat at least 1 dB
# blurred above the better of the two, between 0.85 and 1 times the budget.
#
# Speed, as ratios of times measured in this run: --max-size against one --best conversion with
# the settings it chose (target <= 3), and --lossy 60 against the same conversion without it,
# for --best and for the default (target <= 1.3).
#
# usage: bench/frontier.sh BUILD_DIR [PHOTO_FOLDER]
#   PHOTO_FOLDER as for bench/quality.sh (default: the test pictures). gifski comes from its npm
#   package (npm pack gifski; the binary is package/bin/debian/gifski): set GIFSKI to its path
#   when it is not on PATH. gifsicle, ffmpeg and ImageMagick are Debian packages.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [PHOTO_FOLDER]}
here=$(cd "$(dirname "$0")" && pwd)
photos=${2:-$here/../tests/corpus/photos}
cli="$build/bin/quillomat-cli"
gifski=${GIFSKI:-gifski}
[[ -x $cli ]] || { echo "no $cli: build the quillomat-cli target first" >&2; exit 1; }
[[ -d $photos ]] || { echo "no photo folder $photos" >&2; exit 1; }
for tool in ffmpeg convert compare identify awk gifsicle; do
  command -v "$tool" >/dev/null || { echo "needs $tool (ffmpeg, ImageMagick, gifsicle)" >&2; exit 1; }
done
command -v "$gifski" >/dev/null || { echo "needs gifski (set GIFSKI)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fps=10
# shellcheck source=bench/photo_sets.sh
source "$here/photo_sets.sh"

seconds() {  # seconds COMMAND...: the wall time of one run; its messages go to $work/err.txt
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/err.txt" || true
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

summary=()
for set in "${sets[@]}"; do
  dir="$work/$set"
  count=$(find "$dir" -name 'f*.png' | wc -l)
  ffmpeg -nostdin -v error -y -framerate "$fps" -i "$dir/f%02d.png" \
    -vf 'split[a][b];[a]palettegen[p];[b][p]paletteuse' "$work/ff.gif"
  ff=$(stat -c %s "$work/ff.gif")
  for q in 100 90 80 70 60 50 40 30 20 10; do
    "$gifski" -q --fps "$fps" -Q "$q" -o "$work/gifski-$q.gif" "$dir"/f*.png
  done
  for l in $(seq 0 10 200); do
    gifsicle -O3 --lossy="$l" "$work/ff.gif" -o "$work/gifsicle-$l.gif"
  done

  echo "== $set ($count frames; ffmpeg's GIF $ff bytes)"
  printf '%-7s %9s | %-34s | %-22s | %-22s | %s\n' budget bytes "quillomat: size, dB, blurred" \
    "gifski: Q, blurred" "gifsicle: L, blurred" "margin (target +1)"
  for share in 1.0 0.6 0.4; do
    budget=$(awk -v f="$ff" -v s="$share" 'BEGIN { printf "%d", f * s }')
    rm -f "$work/q.gif"
    fit_time=$(seconds "$cli" --fps "$fps" --best --max-size "$budget" --out "$work/q.gif" "$dir"/f*.png)
    cp "$work/err.txt" "$work/q.err"
    chosen=$(tr '\r' '\n' <"$work/q.err" | sed -n 's/.*fitted: lossy \([0-9]*\), \([0-9]*\) x \([0-9]*\),.*/\1 \2 \3/p')
    if [[ -z $chosen || ! -s $work/q.gif ]]; then
      printf '%-7s %9d | %s\n' "x$share" "$budget" "quillomat failed: $(tr '\r\n' '  ' <"$work/q.err")"
      continue
    fi
    read -r level width height <<<"$chosen"
    one_time=$(seconds "$cli" --quiet --fps "$fps" --best --lossy "$level" --width "$width" \
      --height "$height" --out "$work/one.gif" "$dir"/f*.png)
    qs=$(stat -c %s "$work/q.gif")
    qp=$(psnr "$work/q.gif" "$dir" "$count")
    qb=$(psnr "$work/q.gif" "$dir" "$count" blur)

    peer_best=0
    gk="none"
    for q in 100 90 80 70 60 50 40 30 20 10; do
      if (( $(stat -c %s "$work/gifski-$q.gif") <= budget )); then
        b=$(psnr "$work/gifski-$q.gif" "$dir" "$count" blur)
        gk="Q$q $b"
        peer_best=$b
        break
      fi
    done
    gs="none"
    for l in $(seq 0 10 200); do
      if (( $(stat -c %s "$work/gifsicle-$l.gif") <= budget )); then
        b=$(psnr "$work/gifsicle-$l.gif" "$dir" "$count" blur)
        gs="L$l $b"
        peer_best=$(awk -v a="$peer_best" -v b="$b" 'BEGIN { print (b > a ? b : a) }')
        break
      fi
    done
    line=$(awk -v s="$qs" -v B="$budget" -v qb="$qb" -v pb="$peer_best" 'BEGIN {
      ok = (qb - pb >= 1) && (s <= B) && (s >= 0.85 * B)
      printf "%+.2f dB, %.3fx budget: %s", qb - pb, s / B, ok ? "met" : "NOT met" }')
    printf '%-7s %9d | %9d %6.2f %6.2f %-11s | %-22s | %-22s | %s\n' "x$share" "$budget" "$qs" "$qp" \
      "$qb" "(L$level ${width}x$height)" "$gk" "$gs" "$line"
    printf '        speed: --max-size %ss, one conversion with its settings %ss: %sx (target <= 3)\n' \
      "$fit_time" "$one_time" "$(ratio "$fit_time" "$one_time")"
    summary+=("$(printf '%-10s x%-4s %s' "$set" "$share" "$line")")
  done
  echo
done

echo "== --lossy 60 against the same conversion without it (target <= 1.3)"
dir="$work/pan"
for options in "--best" ""; do
  # shellcheck disable=SC2086
  plain=$(seconds "$cli" --quiet --fps "$fps" $options --out "$work/a.gif" "$dir"/f*.png)
  # shellcheck disable=SC2086
  lossy=$(seconds "$cli" --quiet --fps "$fps" $options --lossy 60 --out "$work/b.gif" "$dir"/f*.png)
  printf '%-8s %ss against %ss: %sx\n' "${options:-default}" "$lossy" "$plain" "$(ratio "$lossy" "$plain")"
done
echo
echo "== the frontier, per set and budget"
printf '%s\n' "${summary[@]}"
