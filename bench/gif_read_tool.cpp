// Reads one GIF the way bench/gifread_bench.sh measures it: `quillomat FILE` loads it with
// cGIF::LoadFromFile, `giflib FILE` with DGifSlurp (the reference). Prints the frame count and
// the largest frame; GNU time around the run gives the time and the peak memory.
#include <gif_lib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "gif/cGIF.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s quillomat|giflib FILE\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "quillomat") {
    qm::cGIF gif;
    if (!gif.LoadFromFile(argv[2])) return 1;
    long long most = 0;
    for (int32_t n = 1; n <= gif.FramesCount(); ++n) {
      auto dib = gif.FrameDIBXOR(int16_t(n));
      most = std::max<long long>(most, (long long)dib->Width() * dib->Height());
    }
    std::printf("frames %d (not read %lld), largest %lld pixels\n", gif.FramesCount(),
                (long long)gif.ImagesNotRead(), most);
    return 0;
  }
  if (mode == "giflib") {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(argv[2], &error);
    if (!gif) return 1;
    const int ok = DGifSlurp(gif);
    std::printf("frames %d%s\n", gif->ImageCount, ok == GIF_OK ? "" : " (giflib stopped early)");
    DGifCloseFile(gif, &error);
    return 0;
  }
  return 2;
}
