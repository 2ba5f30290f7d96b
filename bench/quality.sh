#!/usr/bin/env bash
# Quality benchmark: sets of 640x480 frames made from photos, turned into GIFs by each of
# quillomat-cli's modes and, in the same run, by ffmpeg (palettegen + paletteuse, defaults) and
# ImageMagick (convert, defaults). Per mode it prints the file size and two mean PSNRs over the
# frames (RGB; every GIF decoded by ffmpeg, compared with the source frames): plain, and with both
# pictures blurred by a Gaussian of radius 1 (ffmpeg gblur=sigma=1), which forgives dither noise
# as the eye does; then the size ratio and the dB differences against ffmpeg.
#
#   the sets of bench/photo_sets.sh: a pan, a slideshow of different photos and still scenes
#   with something moving or changing colour
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

# shellcheck source=bench/photo_sets.sh
source "$here/photo_sets.sh"

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
