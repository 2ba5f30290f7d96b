#!/usr/bin/env bash
# Quillomat's one set-up script.
#   ./quillomat.sh test     install what is missing, build, run every test (plain and sanitizer
#                           builds), check a staged install and the Debian package
#   ./quillomat.sh demo     install what is missing, build the command line only, convert the
#                           bundled samples to out.gif
#   ./quillomat.sh run      install what is missing, build and start the window
#   ./quillomat.sh build    install what is missing and build (build/)
#   ./quillomat.sh package  build and make the Debian package (build/package/quillomat_*.deb)
#   ./quillomat.sh bench    build and run the benchmarks
#   ./quillomat.sh fuzz [SECONDS]   build the libFuzzer targets with clang and run each one
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-2}

PACKAGES=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libgl-dev
  libturbojpeg0-dev libpng-dev libswscale-dev libavutil-dev
  libgif-dev libimagequant-dev
  clang libclang-rt-dev
  xvfb xauth fonts-liberation
  ffmpeg imagemagick libjpeg-turbo-progs time
  librsvg2-bin dpkg-dev desktop-file-utils appstream man-db groff-base lintian
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "quillomat: installing ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

configure_and_build() {  # dir, extra cmake args...
  configure "$@"
  cmake --build "$1" -j"$JOBS"
}

run_tests() {  # dir
  (cd "$1" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$JOBS" --timeout 900)
}

cmd=${1:-help}
shift || true
case "$cmd" in
  build)
    install_packages
    configure_and_build build
    ;;
  test)
    install_packages
    configure_and_build build
    run_tests build
    "$ROOT/tools/check_install.sh" build
    # The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
    configure_and_build build-asan -DQUILLOMAT_SANITIZE=ON -DQUILLOMAT_BUILD_BENCH=OFF
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build-asan
    ;;
  demo)
    install_packages
    # Only what the conversion needs: the command line and the sample pictures, not the tests.
    configure build
    cmake --build build -j"$JOBS" --target quillomat-cli samples
    out=${1:-$ROOT/out}
    mkdir -p "$out"
    "$ROOT/build/bin/quillomat-cli" --samples --fps 5 --out "$out"
    echo "quillomat: wrote $out/out.gif"
    ;;
  package)
    install_packages
    configure_and_build build
    rm -rf build/package
    (cd build && cpack -G DEB)
    ls build/package/*.deb
    ;;
  run)
    install_packages
    configure_and_build build
    exec "$ROOT/build/bin/quillomat"
    ;;
  bench)
    install_packages
    configure_and_build build -DQUILLOMAT_BUILD_BENCH=ON
    for b in "$ROOT"/build/bin/bench_*; do [ -x "$b" ] && "$b"; done
    [ -x "$ROOT/bench/convert_bench.sh" ] && "$ROOT/bench/convert_bench.sh" "$ROOT/build"
    if [ -x "$ROOT/bench/scaled_bench.sh" ]; then
      "$ROOT/bench/scaled_bench.sh" "$ROOT/build" 3 scenes
      "$ROOT/bench/scaled_bench.sh" "$ROOT/build" 3 photos
    fi
    [ -x "$ROOT/bench/huge_bench.sh" ] && "$ROOT/bench/huge_bench.sh" "$ROOT/build"
    [ -x "$ROOT/bench/quality.sh" ] && "$ROOT/bench/quality.sh" "$ROOT/build"
    [ -x "$ROOT/bench/optimize_bench.sh" ] && "$ROOT/bench/optimize_bench.sh" "$ROOT/build"
    ;;
  fuzz)
    install_packages
    secs=${1:-60}
    CC=clang CXX=clang++ cmake -S "$ROOT" -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUILLOMAT_LIBFUZZER=ON -DQUILLOMAT_BUILD_APP=OFF -DQUILLOMAT_BUILD_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j"$JOBS" --target fuzzers
    for f in build-fuzz/bin/fuzz_*; do
      name=$(basename "$f")
      mkdir -p "build-fuzz/corpus/$name"
      # Inputs as long as a file of every frame the reader keeps; a reader that commits memory
      # its input does not account for hits the RSS limit, a single huge allocation the malloc one.
      max_len=65536
      [ "$name" = fuzz_gif_load ] && max_len=1048576
      "$f" -max_total_time="$secs" -max_len="$max_len" -rss_limit_mb=2048 -malloc_limit_mb=1024 \
        "build-fuzz/corpus/$name" "$ROOT/fuzz/corpus/${name#fuzz_}" || exit 1
    done
    ;;
  *)
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
    [ "$cmd" = help ] || exit 2
    ;;
esac
