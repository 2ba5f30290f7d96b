#include "imaging/resample.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>

#include "platform/numbers.h"

namespace qm {

namespace {

struct AvFree {
  void operator()(uint8_t* p) const { av_free(p); }
};

struct SwsFree {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};

// Three planes (green, blue, red: the order of AV_PIX_FMT_GBRP) with rows padded for the
// scaler's vector code.
struct Planes {
  int stride = 0;
  std::array<std::unique_ptr<uint8_t, AvFree>, 3> plane;

  bool Allocate(int32_t width, int32_t height) {
    stride = (width + 63) & ~63;
    const size_t bytes = size_t(stride) * size_t(height);
    for (auto& p : plane) {
      p.reset(static_cast<uint8_t*>(av_malloc(bytes)));
      if (!p) return false;
    }
    return true;
  }
  std::array<uint8_t*, 3> pointers() const {
    return {plane[0].get(), plane[1].get(), plane[2].get()};
  }
  std::array<int, 3> strides() const { return {stride, stride, stride}; }
};

// Without the two full-chroma flags the blue and red planes go through the scaler's chroma path,
// which gets small pictures wrong (a flat 3 x 1 picture comes out in another colour).
constexpr int kScalerFlags =
    SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;

}  // namespace

FitRect FitInBox(PictureSize picture, int32_t box_width, int32_t box_height, bool enlarge) {
  if (picture.width <= 0 || picture.height <= 0) return {};
  int32_t w = picture.width, h = picture.height;
  if (picture.width > box_width || picture.height > box_height || enlarge) {
    // Single precision, as the classic fit computes it, so both agree to the pixel.
    const float sx = float(double(box_width) / double(picture.width));
    const float sy = float(double(box_height) / double(picture.height));
    if (sx < sy) {
      w = box_width;
      h = CLng(double(sx) * double(picture.height));
    } else {
      h = box_height;
      w = CLng(double(sy) * double(picture.width));
    }
  }
  if (box_width >= 1) w = std::max<int32_t>(w, 1);
  if (box_height >= 1) h = std::max<int32_t>(h, 1);
  return {AddInt32(box_width, -int64_t(w)) / 2, AddInt32(box_height, -int64_t(h)) / 2, w, h};
}

PictureSize FitWithin(PictureSize picture, int32_t max_width, int32_t max_height) {
  if (picture.width <= 0 || picture.height <= 0) return picture;
  const FitRect r = FitInBox(picture, max_width > 0 ? max_width : picture.width,
                             max_height > 0 ? max_height : picture.height, false);
  return {r.width, r.height};
}

std::unique_ptr<gdi::DibSection> Resample(const gdi::DibSection& source, int32_t width,
                                          int32_t height) {
  const int32_t sw = source.width(), sh = source.height();
  if (source.bpp() != 32 || width <= 0 || height <= 0 || sw <= 0 || sh <= 0) return nullptr;
  const gdi::BitmapInfoHeader header = gdi::TopDown32Header(width, height);
  auto target = gdi::DibSection::CreateForOverwrite(header);
  if (!target) return nullptr;

  Planes in, out;
  if (!in.Allocate(sw, sh) || !out.Allocate(width, height)) return nullptr;
  for (int32_t y = 0; y < sh; ++y) {
    const uint8_t* p = source.row(y);
    const size_t o = size_t(y) * size_t(in.stride);
    uint8_t* g = in.plane[0].get() + o;
    uint8_t* b = in.plane[1].get() + o;
    uint8_t* r = in.plane[2].get() + o;
    for (int32_t x = 0; x < sw; ++x, p += 4) {
      b[x] = p[0];
      g[x] = p[1];
      r[x] = p[2];
    }
  }
  std::unique_ptr<SwsContext, SwsFree> scaler(sws_getContext(sw, sh, AV_PIX_FMT_GBRP, width, height,
                                                             AV_PIX_FMT_GBRP, kScalerFlags, nullptr,
                                                             nullptr, nullptr));
  if (!scaler) return nullptr;
  const auto src_planes = in.pointers();
  const auto dst_planes = out.pointers();
  const auto src_strides = in.strides();
  const auto dst_strides = out.strides();
  const uint8_t* const src_const[3] = {src_planes[0], src_planes[1], src_planes[2]};
  if (sws_scale(scaler.get(), src_const, src_strides.data(), 0, sh, dst_planes.data(),
                dst_strides.data()) != height)
    return nullptr;
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* p = target->row(y);
    const size_t o = size_t(y) * size_t(out.stride);
    const uint8_t* g = out.plane[0].get() + o;
    const uint8_t* b = out.plane[1].get() + o;
    const uint8_t* r = out.plane[2].get() + o;
    for (int32_t x = 0; x < width; ++x, p += 4) {
      p[0] = b[x];
      p[1] = g[x];
      p[2] = r[x];
      p[3] = 0;
    }
  }
  return target;
}

}  // namespace qm
