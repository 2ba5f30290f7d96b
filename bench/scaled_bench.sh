#!/usr/bin/env bash
# Speed of the scaled conversion: 24 camera-size JPEGs (2400x1600, made from the corpus's
# landscape photos in a temporary folder) to an 800-pixel-wide GIF, with the classic palette
# (--width 800) and with --best --width 800, against, in the same run and taking turns, djpeg
# decoding the same files at full size and ffmpeg's scale=800:-1 + palettegen/paletteuse.
# Prints the best wall time, the CPU time of that run, and the ratios:
#   classic --width 800 / djpeg full-size decode   (target <= 0.5)
#   --best --width 800 / ffmpeg scale + palette    (target <= 0.5)
# and the mean PSNR of the --width 800 frames (before colour reduction, read from the kept
# video by ffmpeg) against ImageMagick's -resize of the same pictures.
# The full-size classic conversion of the same files is shown too, for scale. A mode whose
# options quillomat-cli refuses is reported as "not available".
#
# usage: bench/scaled_bench.sh BUILD_DIR [RUNS] [scenes|photos]
#   scenes (the default): the landscape photos, one scene in eight EXIF orientations, cropped
#           three ways; neighbouring frames are alike, as in a burst or a pan.
#   photos: 24 different photos (the corpus's camera photos, then landscape ones to make up the
#           number), each scaled to cover 2400x1600 and cropped to it; no two frames alike, the
#           hard case for per-frame palettes.
# The timed commands are run by bash -c with the files as arguments, so they stay single-quoted.
# shellcheck disable=SC2016
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS] [scenes|photos]}
runs=${2:-3}
set_name=${3:-scenes}
[[ $set_name == scenes || $set_name == photos ]] || { echo "unknown set $set_name" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
cli="$build/bin/quillomat-cli"
corpus="$here/../../shared/corpus/photos"
photos="$corpus/landscape"
[[ -x $cli ]] || { echo "no $cli: build the quillomat-cli target first" >&2; exit 1; }
[[ -d $photos ]] || { echo "no corpus at $photos" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (GNU time)" >&2; exit 1; }
for tool in convert identify djpeg ffmpeg; do
  command -v "$tool" >/dev/null || { echo "needs $tool (ImageMagick, libjpeg-turbo-progs, ffmpeg)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=()
n=0
if [[ $set_name == scenes ]]; then
  for round in 0 1 2; do
    for i in 0 1 2 3 4 5 6 7; do
      # Each round crops a little differently, so the 24 files are 24 different pictures. The
      # offsets stay inside the 30 x 20 margin of the centred crop: past it the crop is cut short
      # (2390 wide), such a picture is fitted into the 800x533 frame with black bars, and the
      # stretched reference below then scores it about 23 dB.
      out="$work/$(printf 'img%03d.jpg' "$n")"
      convert "$photos/Landscape_$i.jpg" -auto-orient +repage -strip -resize '2460x1640^' \
        -gravity center -crop "2400x1600+$((round * 10))+$((round * 5))" +repage -quality 92 "$out"
      files+=("$out")
      n=$((n + 1))
    done
  done
else
  for src in "$corpus"/cameras/*.jpg "$photos"/Landscape_*.jpg; do
    ((n < 24)) || break
    out="$work/$(printf 'img%03d.jpg' "$n")"
    # Damaged files are left out.
    convert "$src" -auto-orient +repage -strip -resize '2400x1600^' -gravity center \
      -crop 2400x1600+0+0 +repage -quality 92 "$out" 2>/dev/null || { rm -f "$out"; continue; }
    files+=("$out")
    n=$((n + 1))
  done
fi
read -r width height < <(identify -format '%w %h\n' "${files[0]}")
if [[ $(identify -format '%wx%h\n' "${files[@]}" | sort -u | wc -l) != 1 ]]; then
  echo "the test pictures differ in size; the PSNR reference assumes one size" >&2
  exit 1
fi
echo "frames ($set_name): ${#files[@]} JPEGs of ${width}x${height} to 800 pixels wide, best of $runs runs, taking turns"

available() {  # available OPTIONS...: whether quillomat-cli carries these options out
  "$cli" --quiet "$@" --out "$work/probe.gif" "${files[0]}" >/dev/null 2>&1
}

names=()
declare -A cmd secs cpu
add() {  # add NAME COMMAND-STRING
  names+=("$1")
  cmd[$1]=$2
}
add djpeg 'for f in "$@"; do djpeg -outfile /dev/null "$f"; done'
add ffmpeg 'ffmpeg -nostdin -v error -y -framerate 5 -i "$W/img%03d.jpg" -vf "scale=800:-1,split[a][b];[a]palettegen[p];[b][p]paletteuse" "$W/ffmpeg.gif"'
add classic-full '"$CLI" --quiet --fps 5 --out "$W/full.gif" "$@"'
if available --width 800; then
  add classic-800 '"$CLI" --quiet --fps 5 --width 800 --out "$W/classic.gif" "$@"'
fi
if available --best --width 800; then
  add best-800 '"$CLI" --quiet --fps 5 --best --width 800 --out "$W/best.gif" "$@"'
fi

export W=$work CLI=$cli
for ((r = 0; r < runs; r++)); do
  for name in "${names[@]}"; do
    /usr/bin/time -f '%e %U %S' -o "$work/time.txt" bash -c "${cmd[$name]}" _ "${files[@]}" \
      >/dev/null 2>"$work/err.txt" || {
      echo "$name failed:" >&2
      tail -5 "$work/err.txt" >&2
      exit 1
    }
    read -r s u sy <"$work/time.txt"
    if [[ -z ${secs[$name]:-} ]] || awk -v a="$s" -v b="${secs[$name]}" 'BEGIN { exit !(a < b) }'; then
      secs[$name]=$s
      cpu[$name]=$(awk -v u="$u" -v s="$sy" 'BEGIN { print u + s }')
    fi
  done
done

for gif in classic best; do
  [[ -f $work/$gif.gif ]] || continue
  read -r gw gh < <(identify -format '%w %h\n' "$work/$gif.gif[0]")
  [[ $gw == 800 ]] || echo "warning: the $gif GIF is ${gw}x${gh}, not 800 wide" >&2
done

# Quality of the 800-wide frames before colour reduction: the kept video's frames (read by
# ffmpeg) against ImageMagick's -resize of the same pictures, mean PSNR over the frames.
psnr_mean=
if [[ -n ${secs[classic-800]:-} ]]; then
  "$cli" --quiet --keep-temp --fps 5 --width 800 --out "$work/keep.gif" "${files[@]}" \
    >"$work/keep.txt" 2>&1 || true
  kept=$(sed -n 's/.*temporary files kept in //p' "$work/keep.txt" | head -1)
  if [[ -n $kept && -f $kept/temp.avi ]]; then
    mkdir -p "$work/frames"
    # passthrough: one file per stored frame, not frames repeated to the muxer's own rate
    ffmpeg -nostdin -v error -i "$kept/temp.avi" -fps_mode passthrough -f image2 -vcodec ppm \
      "$work/frames/f%03d.ppm"
    total=0
    for ((k = 0; k < ${#files[@]}; k++)); do
      convert "${files[$k]}" -auto-orient -resize '800x533!' "$work/ref.ppm"
      p=$(compare -metric PSNR "$work/frames/$(printf 'f%03d.ppm' $((k + 1)))" "$work/ref.ppm" null: 2>&1 || true)
      total=$(awk -v t="$total" -v p="$p" 'BEGIN { print t + p }')
    done
    psnr_mean=$(awk -v t="$total" -v n="${#files[@]}" 'BEGIN { printf "%.2f", t / n }')
    rm -rf "$kept"
  fi
fi

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %9s %9s\n' run "wall s" "cpu s"
for name in "${names[@]}"; do
  printf '%-14s %9.2f %9.2f\n' "$name" "${secs[$name]}" "${cpu[$name]}"
done
echo
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { if awk -v r="$1" 'BEGIN { exit !(r <= 0.5) }'; then echo met; else echo "NOT met"; fi; }
compare_to() {  # compare_to LABEL NAME REFERENCE
  if [[ -z ${secs[$2]:-} ]]; then
    printf '%-44s not available (quillomat-cli refuses the options)\n' "$1"
    return
  fi
  local rw rc
  rw=$(ratio "${secs[$2]}" "${secs[$3]}")
  rc=$(ratio "${cpu[$2]}" "${cpu[$3]}")
  printf '%-44s wall %5sx  cpu %5sx   (target <= 0.5: wall %s, cpu %s)\n' "$1" "$rw" "$rc" \
    "$(verdict "$rw")" "$(verdict "$rc")"
}
compare_to "classic --width 800 / djpeg full-size decode:" classic-800 djpeg
compare_to "--best --width 800 / ffmpeg scale + palette:" best-800 ffmpeg
printf '%-44s wall %5sx  cpu %5sx   (for scale)\n' "classic full size / djpeg full-size decode:" \
  "$(ratio "${secs[classic-full]}" "${secs[djpeg]}")" "$(ratio "${cpu[classic-full]}" "${cpu[djpeg]}")"
if [[ -n $psnr_mean ]]; then
  printf '%-44s %s dB mean over %d frames (before colour reduction)\n' \
    "--width 800 frames vs ImageMagick -resize:" "$psnr_mean" "${#files[@]}"
fi
