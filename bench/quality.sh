#!/usr/bin/env bash
# Quality benchmark: sets of 640x480 frames made from photos, turned into GIFs by each of
# quillomat-cli's modes and, in the same run, by ffmpeg (palettegen + paletteuse, defaults) and
# ImageMagick (convert, defaults). Per mode it prints the file size and two mean PSNRs over the
# frames (RGB; every GIF decoded by ffmpeg, compared with the source frames): plain, and with both
# pictures blurred by a Gaussian of radius 1 (ffmpeg gblur=sigma=1), which forgives dither noise
# as the eye does; then the size ratio and the dB differences against ffmpeg.
#
#   pan:        24 crops of 640x480 moving diagonally across the largest photo (scaled to cover
#               1280x960)
#   slideshow:  6 different photos, each scaled to cover 640x480 and cropped to it
#   object:     24 frames of one still photo (the second one picked) with a soft blob of about 3%
#               of the frame gliding across it, its hue turning 15 degrees a frame
#   caption:    24 frames of one still photo (the third one picked) under a dark caption band whose
#               text grows a word every third frame, its hue turning 15 degrees a frame (left out
#               when ImageMagick knows no font)
#   arrival:    24 frames of one still photo (the fourth one picked): from the fifth frame on, a
#               sharp square of about 2% of the frame jumps across it, its hue turning 37 degrees
#               a frame, so the first frame's palette never saw its colours
#
# Frames go to every tool as PNG files of exactly 640x480, so no tool resizes and no JPEG loss
# is added. A mode whose options quillomat-cli refuses is listed as "not available".
#
# usage: bench/quality.sh BUILD_DIR [PHOTO_FOLDER [MODE...]]
#   PHOTO_FOLDER (default: the shared corpus's photos) is searched recursively for JPEG and PNG
#   files; pass a folder of photos the project has not seen for figures that generalise. Damaged
#   files are skipped, and so are near-duplicates (the same scene in another EXIF orientation).
#   MODEs (names from the table below, e.g. best) limit the run to those quillomat-cli modes; the
#   references are always made.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [PHOTO_FOLDER [MODE...]]}
here=$(cd "$(dirname "$0")" && pwd)
photos=${2:-$here/../../shared/corpus/photos}
wanted=("${@:3}")
cli="$build/bin/quillomat-cli"
[[ -x $cli ]] || { echo "no $cli: build the quillomat-cli target first" >&2; exit 1; }
[[ -d $photos ]] || { echo "no photo folder $photos" >&2; exit 1; }
for tool in ffmpeg convert compare identify awk; do
  command -v "$tool" >/dev/null || { echo "needs $tool (ffmpeg, ImageMagick)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fps=10

# --- Choosing the photos: largest first, damaged ones and near-duplicates left out. ---
mapfile -t candidates < <(
  find "$photos" -type f \( -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.png' \) -print0 |
    while IFS= read -r -d '' f; do
      dims=$(identify -ping -format '%w %h\n' "${f}[0]" 2>/dev/null | head -1) || continue
      [[ -n $dims ]] && printf '%d\t%s\n' "$(awk -v d="$dims" 'BEGIN { split(d, a, " "); print a[1] * a[2] }')" "$f"
    done | sort -t$'\t' -k1,1nr -k2,2 | cut -f2-)
(( ${#candidates[@]} > 0 )) || { echo "no readable photos in $photos" >&2; exit 1; }

mkdir -p "$work/thumbs" "$work/slideshow" "$work/pan"
picked=()
for f in "${candidates[@]}"; do
  (( ${#picked[@]} < 6 )) || break
  n=${#picked[@]}
  thumb="$work/thumbs/$n.png"
  # -regard-warnings turns a damaged JPEG's warnings into a failure.
  convert -regard-warnings "${f}[0]" -auto-orient +repage -strip -colorspace sRGB -resize '640x480^' \
    -gravity center -extent 640x480 -alpha off "PNG24:$work/slideshow/cand.png" 2>/dev/null ||
    continue
  convert "$work/slideshow/cand.png" -resize '16x16!' "PNG24:$thumb"
  duplicate=0
  for ((k = 0; k < n; k++)); do
    # RMSE of the two thumbnails, normalised to 0..1 (compare exits 1 when they differ).
    d=$(compare -metric RMSE "$thumb" "$work/thumbs/$k.png" null: 2>&1 || true)
    d=$(sed -n 's/.*(\(.*\)).*/\1/p' <<<"$d")
    if awk -v d="${d:-1}" 'BEGIN { exit !(d < 0.04) }'; then duplicate=1; break; fi
  done
  (( duplicate == 0 )) || continue
  mv "$work/slideshow/cand.png" "$work/slideshow/$(printf 'f%02d.png' "$n")"
  picked+=("$f")
done
(( ${#picked[@]} >= 2 )) || { echo "fewer than two different photos in $photos" >&2; exit 1; }

pan_photo=${picked[0]}
convert "${pan_photo}[0]" -auto-orient +repage -strip -colorspace sRGB -resize '1280x960^' -alpha off \
  "PNG24:$work/pan/source.png"
read -r pw ph < <(identify -format '%w %h\n' "$work/pan/source.png")
for ((i = 0; i < 24; i++)); do
  x=$(( (pw - 640) * i / 23 ))
  y=$(( (ph - 480) * i / 23 ))
  convert "$work/pan/source.png" -crop "640x480+$x+$y" +repage "PNG24:$work/pan/$(printf 'f%02d.png' "$i")"
done
rm "$work/pan/source.png"

# The still scenes reuse the slideshow's frames as backgrounds. The blob is drawn blurred on a
# small canvas of its own and laid over the photo there.
sets=(pan slideshow object)
object_photo=${picked[1]}
mkdir -p "$work/object"
for ((i = 0; i < 24; i++)); do
  hue=$(( i * 15 % 360 ))
  x=$(( 500 * i / 23 ))
  y=$(( 190 - 120 * i / 23 ))
  convert "$work/slideshow/f01.png" \( -size 140x110 xc:none -fill "hsl($hue,90%,55%)" \
    -draw 'ellipse 70,55 60,45 0,360' -blur 0x5 \) -geometry "+$x+$y" -compose over -composite \
    -alpha off "PNG24:$work/object/$(printf 'f%02d.png' "$i")"
done
font=$(convert -list font | awk '/Font: / && !f { f = $2 } END { print f }')
caption_photo=${picked[2]:-${picked[1]}}
caption_frame=f02.png
[[ -f $work/slideshow/$caption_frame ]] || caption_frame=f01.png
if [[ -n $font ]]; then
  sets+=(caption)
  mkdir -p "$work/caption"
  words=(Morning light over the 'hills,' and a slow walk home)
  for ((i = 0; i < 24; i++)); do
    hue=$(( i * 15 % 360 ))
    convert "$work/slideshow/$caption_frame" -fill 'rgba(0,0,0,0.55)' -draw 'rectangle 0,410 639,470' \
      -font "$font" -pointsize 30 -fill "hsl($hue,80%,70%)" -gravity southwest \
      -annotate +16+20 "${words[*]:0:$(( i / 3 + 1 ))}" -alpha off \
      "PNG24:$work/caption/$(printf 'f%02d.png' "$i")"
  done
fi

arrival_photo=${picked[3]:-${picked[1]}}
arrival_frame=f03.png
[[ -f $work/slideshow/$arrival_frame ]] || arrival_frame=f01.png
sets+=(arrival)
mkdir -p "$work/arrival"
for ((i = 0; i < 24; i++)); do
  square=()
  if (( i >= 4 )); then
    x=$(( 40 + 540 * (i - 4) / 19 ))
    y=$(( 100 + 200 * (i % 6) / 5 ))
    square=(-fill "hsl($(( i * 37 % 360 )),85%,50%)" -draw "rectangle $x,$y $((x + 40)),$((y + 40))")
  fi
  convert "$work/slideshow/$arrival_frame" "${square[@]}" -alpha off \
    "PNG24:$work/arrival/$(printf 'f%02d.png' "$i")"
done

echo "photos: $photos"
echo "pan: 24 frames of 640x480 across $(basename "$pan_photo")"
echo "slideshow: ${#picked[@]} frames of 640x480:$(for p in "${picked[@]}"; do printf ' %s' "$(basename "$p")"; done)"
(( ${#picked[@]} == 6 )) || echo "  (only ${#picked[@]} different photos found)"
echo "object: 24 frames of 640x480, a blob turning colour across $(basename "$object_photo")"
if [[ -n $font ]]; then
  echo "caption: 24 frames of 640x480, a caption turning colour under $(basename "$caption_photo")"
else
  echo "caption: left out, ImageMagick knows no font"
fi
echo "arrival: 24 frames of 640x480, a square arriving in the fifth frame, turning colour, over $(basename "$arrival_photo")"
echo "PSNR: mean over frames of the RGB PSNR against the source frames, GIFs decoded by ffmpeg;"
echo "      blurred: both pictures through a Gaussian of radius 1 (ffmpeg gblur=sigma=1) first"
echo

# psnr GIF SET_DIR COUNT [BLUR]: the mean per-frame RGB PSNR; fails when the frame count differs.
psnr() {
  local gif=$1 dir=$2 count=$3 blur=${4:-} stats="$work/psnr.txt" chain
  chain="settb=1/$fps,setpts=N,format=gbrp${blur:+,gblur=sigma=1}"
  rm -f "$stats"
  ffmpeg -nostdin -v error -i "$gif" -framerate "$fps" -i "$dir/f%02d.png" \
    -lavfi "[0:v]${chain}[a];[1:v]${chain}[b];[a][b]psnr=stats_file=$stats" -f null - ||
    return 1
  # Identical frames have an infinite PSNR; 100 dB stands for it.
  awk -v want="$count" '
    { for (i = 1; i <= NF; i++) if ($i ~ /^psnr_avg:/) { v = substr($i, 10); if (v == "inf") v = 100; s += v; n++ } }
    END { if (n != want) exit 1; printf "%.2f", s / n }' "$stats"
}

declare -A size plain blurred status
# run_mode SET NAME COMMAND...: makes $work/SET-NAME.gif with the command and measures it.
run_mode() {
  local set=$1 name=$2 gif="$work/$1-$2.gif" count
  shift 2
  count=$(find "$work/$set" -name 'f*.png' | wc -l)
  local rc=0
  "$@" "$gif" >"$work/log.txt" 2>&1 || rc=$?
  if (( rc != 0 )) || [[ ! -s $gif ]]; then
    status[$set/$name]=$([[ $rc == 2 ]] && echo "not available" || echo "failed (exit $rc)")
    return 0
  fi
  size[$set/$name]=$(stat -c %s "$gif")
  if ! plain[$set/$name]=$(psnr "$gif" "$work/$set" "$count") ||
    ! blurred[$set/$name]=$(psnr "$gif" "$work/$set" "$count" blur); then
    status[$set/$name]="decoded to the wrong frames"
    return 0
  fi
  status[$set/$name]=ok
}

quillomat() {  # quillomat SET OPTIONS... OUTPUT
  local set=$1
  shift
  local out=${!#}
  set -- "${@:1:$#-1}"
  "$cli" --quiet --fps "$fps" "$@" --out "$out" "$work/$set"/f*.png
}
ffmpeg_gif() {  # ffmpeg_gif SET OUTPUT
  ffmpeg -nostdin -v error -y -framerate "$fps" -i "$work/$1/f%02d.png" \
    -vf 'split[a][b];[a]palettegen[p];[b][p]paletteuse' "$2"
}
imagemagick_gif() {  # imagemagick_gif SET OUTPUT
  convert -delay $((100 / fps)) -loop 0 "$work/$1"/f*.png "$2"
}

modes=(
  "classic|"
  "optimal+diffusion|--palette optimal --dither diffusion"
  "global+none|--palette global --dither none"
  "global+ordered|--palette global --dither ordered"
  "global+diffusion|--palette global --dither diffusion"
  "local+none|--palette local --dither none"
  "local+ordered|--palette local --dither ordered"
  "local+diffusion|--palette local --dither diffusion"
  "best|--best"
  "classic+optimize|--optimize"
  "optimal+diffusion+optimize|--palette optimal --dither diffusion --optimize"
  "local+diffusion+optimize|--palette local --dither diffusion --optimize"
)

if (( ${#wanted[@]} > 0 )); then
  chosen=()
  for m in "${modes[@]}"; do
    for w in "${wanted[@]}"; do
      [[ ${m%%|*} == "$w" ]] && chosen+=("$m")
    done
  done
  (( ${#chosen[@]} > 0 )) || { echo "no such mode: ${wanted[*]}" >&2; exit 2; }
  modes=("${chosen[@]}")
fi

summary=()
for set in "${sets[@]}"; do
  run_mode "$set" ffmpeg ffmpeg_gif "$set"
  run_mode "$set" imagemagick imagemagick_gif "$set"
  for m in "${modes[@]}"; do
    name=${m%%|*}
    read -r -a opts <<<"${m#*|}"
    run_mode "$set" "$name" quillomat "$set" "${opts[@]}"
  done

  echo "== $set"
  printf '%-28s %10s %9s %9s   %7s %8s %8s\n' mode bytes "PSNR dB" "blurred" "size/ff" "dB-ff" "blur-ff"
  ref=$set/ffmpeg
  for name in ffmpeg imagemagick $(for m in "${modes[@]}"; do echo "${m%%|*}"; done); do
    key=$set/$name
    if [[ ${status[$key]} != ok ]]; then
      printf '%-28s %s\n' "$name" "${status[$key]}"
      continue
    fi
    if [[ ${status[$ref]} == ok ]]; then
      rel=$(awk -v s="${size[$key]}" -v fs="${size[$ref]}" -v p="${plain[$key]}" -v fp="${plain[$ref]}" \
        -v b="${blurred[$key]}" -v fb="${blurred[$ref]}" \
        'BEGIN { printf "%7.2fx %+8.2f %+8.2f", s / fs, p - fp, b - fb }')
    else
      rel="(no ffmpeg reference)"
    fi
    printf '%-28s %10d %9.2f %9.2f   %s\n' "$name" "${size[$key]}" "${plain[$key]}" "${blurred[$key]}" "$rel"
  done
  if [[ ${status[$set/best]:-} == ok && ${status[$ref]} == ok ]]; then
    line=$(awk -v s="${size[$set/best]}" -v fs="${size[$ref]}" -v p="${plain[$set/best]}" -v fp="${plain[$ref]}" \
      -v b="${blurred[$set/best]}" -v fb="${blurred[$ref]}" 'BEGIN {
        ok = (p - fp >= 2) && (b - fb >= 1) && (s / fs <= 1.15)
        printf "%+.2f dB plain (target +2), %+.2f dB blurred (target +1), %.2fx size (target <= 1.15): %s",
          p - fp, b - fb, s / fs, ok ? "met" : "NOT met" }')
    echo "--best against ffmpeg: $line"
    summary+=("$(printf '%-10s %s' "$set" "$line")")
  fi
  echo
done

if (( ${#summary[@]} > 0 )); then
  echo "== --best against ffmpeg, per set"
  printf '%s\n' "${summary[@]}"
fi
