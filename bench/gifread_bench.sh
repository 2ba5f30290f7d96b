#!/usr/bin/env bash
# GIF reader cost against what a file holds: files whose headers declare far more pixels than
# their data fills (bench/make_hostile_gifs.py), each read by the project's reader and, in the
# same run, by giflib (DGifSlurp) and by the project's reader on an honest file of the same
# pixel data. Prints wall time and peak memory (GNU time) and the ratios to both references.
#
# usage: bench/gifread_bench.sh BUILD_DIR   (needs the gif_read_tool and quillomat-cli targets)
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
tool="$build/bin/gif_read_tool"
cli="$build/bin/quillomat-cli"
[[ -x $tool && -x $cli ]] || { echo "build the gif_read_tool and quillomat-cli targets" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (GNU time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$here/make_hostile_gifs.py" "$work"

# run LABEL COMMAND...: prints seconds and peak kB, keeps them in $secs and $kb.
run() {
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1 || true
  read -r secs kb <"$work/time"
  printf '  %-34s %7.2f s %9d kB\n' "$label" "$secs" "$kb"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }'; }

for pair in sparse_16384:sparse_honest many_256:many_honest many_32767:many_32767; do
  file=${pair%%:*}
  honest=${pair##*:}
  echo "$file.gif ($(stat -c %s "$work/$file.gif") bytes)"
  run "quillomat load" "$tool" quillomat "$work/$file.gif"
  q_s=$secs q_kb=$kb
  run "quillomat inspect" "$cli" inspect "$work/$file.gif"
  i_s=$secs i_kb=$kb
  run "giflib DGifSlurp (reference)" "$tool" giflib "$work/$file.gif"
  g_s=$secs g_kb=$kb
  run "quillomat load, $honest (reference)" "$tool" quillomat "$work/$honest.gif"
  h_s=$secs h_kb=$kb
  echo "  load/giflib: time $(ratio "$q_s" "$g_s")x memory $(ratio "$q_kb" "$g_kb")x;" \
       "load/honest: time $(ratio "$q_s" "$h_s")x memory $(ratio "$q_kb" "$h_kb")x;" \
       "inspect/honest: time $(ratio "$i_s" "$h_s")x memory $(ratio "$i_kb" "$h_kb")x"
done
