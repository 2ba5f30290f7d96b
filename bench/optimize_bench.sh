#!/usr/bin/env bash
# --optimize on a still scene with one moving patch: 24 frames of 640x480 cut from one photo,
# a 96x72 patch from another part of it crossing the scene. Each palette mode is converted with
# and without --optimize in the same run; prints the sizes, the ratio against the target, and
# whether ffmpeg and Pillow decode the same frames from both files.
#
# usage: bench/optimize_bench.sh BUILD_DIR [PHOTO]
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [PHOTO]}
here=$(cd "$(dirname "$0")" && pwd)
photo=${2:-$here/../../shared/corpus/photos/landscape/Landscape_0.jpg}
cli="$build/bin/quillomat-cli"
python=/usr/bin/python3
[[ -x $cli ]] || { echo "no $cli: build the quillomat-cli target first" >&2; exit 1; }
[[ -f $photo ]] || { echo "no photo at $photo" >&2; exit 1; }
"$python" -c 'import PIL' 2>/dev/null || { echo "needs Pillow (python3-pil)" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "needs ffmpeg" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" - "$photo" "$work" <<'EOF'
import sys
from PIL import Image
photo, work = sys.argv[1], sys.argv[2]
src = Image.open(photo).convert("RGB")
scene = src.crop((0, 0, 640, 480))
patch = src.crop((src.width - 96, src.height - 72, src.width, src.height))
for i in range(24):
    frame = scene.copy()
    frame.paste(patch, (20 + i * 22, 60 + i * 12))
    frame.save(f"{work}/frame{i:02d}.jpg", quality=90)
EOF
frames=("$work"/frame*.jpg)

# The frames as ffmpeg and as Pillow composite them, one hash per decoder.
ffmpeg_frames() { ffmpeg -v error -i "$1" -f rawvideo -pix_fmt rgb24 - | sha256sum | cut -c1-16; }
pillow_frames() {
  "$python" - "$1" <<'EOF'
import sys, hashlib
from PIL import Image, ImageSequence
h = hashlib.sha256()
for f in ImageSequence.Iterator(Image.open(sys.argv[1])):
    h.update(f.convert("RGB").tobytes())
print(h.hexdigest()[:16])
EOF
}

status=0
run() {
  local target=$1
  shift
  local name="${*:-classic}"
  local plain="$work/plain.gif" opt="$work/opt.gif" out
  if ! out=$("$cli" "$@" --out "$plain" "${frames[@]}" 2>&1); then
    printf '%-40s not available here: %s\n' "$name" "$(tail -1 <<<"$out")"
    return
  fi
  "$cli" "$@" --optimize --out "$opt" "${frames[@]}" >/dev/null 2>&1
  local a b ratio ff pil
  a=$(stat -c %s "$plain")
  b=$(stat -c %s "$opt")
  ratio=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", b / a }')
  [[ $(ffmpeg_frames "$plain") == $(ffmpeg_frames "$opt") ]] && ff=yes || ff=NO
  [[ $(pillow_frames "$plain") == $(pillow_frames "$opt") ]] && pil=yes || pil=NO
  printf '%-40s %10d %10d %7s %7s  %s, %s\n' "$name" "$a" "$b" "$ratio" "$target" "$ff" "$pil"
  if [[ $ff != yes || $pil != yes ]] ||
    { [[ $target != - ]] && awk -v r="$ratio" -v t="$target" 'BEGIN { exit !(r > t) }'; }; then
    status=1
  fi
}

# --best always differences its frames: its plain side is what --help says it stands for,
# without --optimize.
best=$("$cli" --help | tr -s ' \n' ' ' | sed -n 's/.*--best the best quality for its size, the same as \([^;]*\);.*/\1/p')
read -r -a best_plain <<<"${best//--optimize/}"
echo "--best is: $best"
printf '%-40s %10s %10s %7s %7s  %s\n' mode whole optimized ratio target "same frames (ffmpeg, Pillow)"

run 0.5
run 0.7 "${best_plain[@]}"  # --best
run - --palette halftone --dither none
run - --palette optimal
run - --palette optimal --dither diffusion
run - --palette global
run - --palette local --dither diffusion
exit $status
