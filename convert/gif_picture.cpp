#include "convert/gif_picture.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "gif/cGIF.h"
#include "imaging/cDIB.h"
#include "platform/gdi.h"

namespace qm {

std::shared_ptr<Picture> DecodeGifFirstFrame(std::span<const uint8_t> bytes) {
  if (bytes.size() < 6 || std::memcmp(bytes.data(), "GIF8", 4) != 0) return nullptr;
  cGIF gif;
  if (!gif.LoadFromStream(bytes) || gif.FramesCount() < 1) return nullptr;
  std::shared_ptr<cDIB> frame = gif.FrameDIBXOR(1);
  if (!frame || frame->BPP() != 8 || frame->Width() <= 0 || frame->Height() <= 0) return nullptr;
  const int32_t left = std::max<int32_t>(0, gif.FrameLeft(1));
  const int32_t top = std::max<int32_t>(0, gif.FrameTop(1));
  const int32_t fw = frame->Width(), fh = frame->Height();
  const int32_t width = std::max<int32_t>(gif.ScreenWidth(), fw);
  const int32_t height = std::max<int32_t>(gif.ScreenHeight(), fh);
  if (uint64_t(width) * uint64_t(height) > kMaxPicturePixels) return nullptr;

  const gdi::BitmapInfoHeader header = gdi::TopDown32Header(width, height);
  auto picture = std::make_shared<Picture>();
  picture->bitmap = gdi::DibSection::Create(header);
  if (!picture->bitmap) return nullptr;

  const bool local = gif.LocalPaletteUsed(1);
  const uint8_t* table = local ? gif.lpLocalPalette(1) : gif.lpGlobalPalette();
  const int entries = local ? gif.LocalPaletteEntries(1) : gif.GlobalPaletteEntries();
  std::array<uint32_t, 256> colors{};
  for (int i = 0; i < std::clamp(entries, 0, 256); ++i) {
    colors[i] =
        uint32_t(table[4 * i]) | uint32_t(table[4 * i + 1]) << 8 | uint32_t(table[4 * i + 2]) << 16;
  }
  const bool transparent = gif.FrameUseTransparentColor(1);
  const uint8_t clear = gif.FrameTransparentColorIndex(1);

  BitsView src;
  MapDIBBits(src, *frame);
  const int32_t copy_w = std::min(fw, width - left);
  const int32_t copy_h = std::min(fh, height - top);
  for (int32_t y = 0; y < copy_h; ++y) {
    std::span<uint8_t> in = src.row(y);
    auto* out = reinterpret_cast<uint32_t*>(picture->bitmap->row(top + y)) + left;
    for (int32_t x = 0; x < copy_w; ++x) {
      const uint8_t index = in[size_t(x)];
      if (!(transparent && index == clear)) out[x] = colors[index];
    }
  }
  return picture;
}

void RegisterGifPictureDecoder() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterPictureDecoder(DecodeGifFirstFrame); });
}

}  // namespace qm
