# Sourced by the quality benchmarks (bench/quality.sh, bench/frontier.sh): picks photos from
# $photos, makes the sets of 640x480 PNG frames in $work (their names in $sets), prints what
# they are, and defines psnr. Needs $work, $photos and $fps.
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
#
# Frames go to every tool as PNG files of exactly 640x480, so no tool resizes and no JPEG loss
# is added.

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
# A GIF of smaller frames is scaled back to 640x480 first (Lanczos), as a viewer enlarges it.
psnr() {
  local gif=$1 dir=$2 count=$3 blur=${4:-} stats="$work/psnr.txt" chain
  chain="settb=1/$fps,setpts=N,format=gbrp${blur:+,gblur=sigma=1}"
  rm -f "$stats"
  ffmpeg -nostdin -v error -i "$gif" -framerate "$fps" -i "$dir/f%02d.png" \
    -lavfi "[0:v]scale=640:480:flags=lanczos,${chain}[a];[1:v]${chain}[b];[a][b]psnr=stats_file=$stats" \
    -f null - || return 1
  # Identical frames have an infinite PSNR; 100 dB stands for it.
  awk -v want="$count" '
    { for (i = 1; i <= NF; i++) if ($i ~ /^psnr_avg:/) { v = substr($i, 10); if (v == "inf") v = 100; s += v; n++ } }
    END { if (n != want) exit 1; printf "%.2f", s / n }' "$stats"
}

