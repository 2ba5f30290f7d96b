#include "tests/gif/giflib_support.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace qm::testing {
namespace {

struct MemorySource {
  std::span<const uint8_t> data;
  size_t pos = 0;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int n) {
  auto* src = static_cast<MemorySource*>(gif->UserData);
  size_t left = src->data.size() - src->pos;
  size_t take = n < 0 ? 0 : std::min(left, size_t(n));
  if (take) std::memcpy(out, src->data.data() + src->pos, take);
  src->pos += take;
  return int(take);
}

void CopyTable(const ColorMapObject* map, int& size, bool& sorted, std::vector<uint8_t>& rgb) {
  size = map->ColorCount;
  sorted = map->SortFlag;
  rgb.clear();
  for (int i = 0; i < map->ColorCount; ++i) {
    rgb.push_back(map->Colors[i].Red);
    rgb.push_back(map->Colors[i].Green);
    rgb.push_back(map->Colors[i].Blue);
  }
}

void ScanForLoops(const ExtensionBlock* blocks, int count, GiflibResult& r) {
  for (int i = 0; i < count; ++i) {
    const ExtensionBlock& b = blocks[i];
    if (b.Function != APPLICATION_EXT_FUNC_CODE || b.ByteCount != 11 ||
        std::memcmp(b.Bytes, "NETSCAPE2.0", 11) != 0)
      continue;
    ++r.netscape_blocks;
    if (i + 1 < count && blocks[i + 1].Function == CONTINUE_EXT_FUNC_CODE &&
        blocks[i + 1].ByteCount >= 3 && blocks[i + 1].Bytes[0] == 1)
      r.loop_count = blocks[i + 1].Bytes[1] | (blocks[i + 1].Bytes[2] << 8);
  }
}

}  // namespace

GiflibResult DecodeWithGiflib(std::span<const uint8_t> data) {
  GiflibResult r;
  if (data.size() >= 6) r.version.assign(reinterpret_cast<const char*>(data.data()) + 3, 3);
  MemorySource src{data};
  int err = 0;
  GifFileType* gif = DGifOpen(&src, ReadFromMemory, &err);
  if (!gif) {
    r.error = err;
    return r;
  }
  r.ok = DGifSlurp(gif) == GIF_OK;
  if (!r.ok) r.error = gif->Error;
  r.screen_width = gif->SWidth;
  r.screen_height = gif->SHeight;
  r.color_resolution = gif->SColorResolution;
  r.background = gif->SBackGroundColor;
  r.aspect_byte = gif->AspectByte;
  if (gif->SColorMap) {
    r.has_global_table = true;
    CopyTable(gif->SColorMap, r.global_table_size, r.global_table_sorted, r.global_rgb);
  }
  for (int n = 0; n < gif->ImageCount && gif->SavedImages; ++n) {
    const SavedImage& s = gif->SavedImages[n];
    GiflibFrame f;
    f.left = s.ImageDesc.Left;
    f.top = s.ImageDesc.Top;
    f.width = s.ImageDesc.Width;
    f.height = s.ImageDesc.Height;
    f.interlaced = s.ImageDesc.Interlace;
    if (s.ImageDesc.ColorMap) {
      f.has_local_table = true;
      CopyTable(s.ImageDesc.ColorMap, f.local_table_size, f.local_table_sorted, f.local_rgb);
    }
    GraphicsControlBlock gcb;
    if (DGifSavedExtensionToGCB(gif, n, &gcb) == GIF_OK) {
      for (int i = 0; i < s.ExtensionBlockCount; ++i)
        if (s.ExtensionBlocks[i].Function == GRAPHICS_EXT_FUNC_CODE) f.has_control = true;
      f.delay = gcb.DelayTime;
      f.disposal = gcb.DisposalMode;
      f.user_input = gcb.UserInputFlag;
      f.transparent = gcb.TransparentColor;
    }
    if (s.RasterBits && f.width > 0 && f.height > 0)
      f.indices.assign(s.RasterBits, s.RasterBits + size_t(f.width) * size_t(f.height));
    ScanForLoops(s.ExtensionBlocks, s.ExtensionBlockCount, r);
    r.frames.push_back(std::move(f));
  }
  ScanForLoops(gif->ExtensionBlocks, gif->ExtensionBlockCount, r);
  DGifCloseFile(gif, &err);
  return r;
}

std::vector<std::vector<uint32_t>> CompositeFrames(const GiflibResult& gif) {
  const int sw = gif.screen_width, sh = gif.screen_height;
  std::vector<uint32_t> screen(size_t(sw) * size_t(sh), kNothingShown);
  std::vector<std::vector<uint32_t>> shown;
  for (const GiflibFrame& f : gif.frames) {
    const std::vector<uint8_t>& rgb = f.has_local_table ? f.local_rgb : gif.global_rgb;
    const std::vector<uint32_t> before = screen;
    for (int y = 0; y < f.height; ++y) {
      for (int x = 0; x < f.width; ++x) {
        const int sx = f.left + x, sy = f.top + y;
        const uint8_t index = f.indices[size_t(y) * size_t(f.width) + size_t(x)];
        if (sx >= sw || sy >= sh || index == f.transparent) continue;
        const size_t i = size_t(index) * 3;
        screen[size_t(sy) * size_t(sw) + size_t(sx)] =
            i + 2 < rgb.size() ? uint32_t(rgb[i]) << 16 | uint32_t(rgb[i + 1]) << 8 | rgb[i + 2]
                               : kNoColour;
      }
    }
    shown.push_back(screen);
    if (f.disposal == 2) {
      for (int y = f.top; y < std::min(sh, f.top + f.height); ++y)
        for (int x = f.left; x < std::min(sw, f.left + f.width); ++x)
          screen[size_t(y) * size_t(sw) + size_t(x)] = kNothingShown;
    } else if (f.disposal == 3) {
      screen = before;
    }
  }
  return shown;
}

GiflibResult DecodeFileWithGiflib(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return DecodeWithGiflib(bytes);
}

}  // namespace qm::testing
