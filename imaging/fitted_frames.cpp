#include "imaging/fitted_frames.h"

#include "platform/error.h"

namespace qm::quantize {

void CheckFrame(const RgbaFrame& frame) {
  if (frame.width <= 0 || frame.height <= 0 ||
      frame.pixels.size() != size_t(frame.width) * size_t(frame.height) * 4) {
    Raise(kErrInvalidCall, "Colour quantisation needs a whole 32-bit frame");
  }
}

std::vector<unsigned char*> TargetRows(const RgbaFrame& frame, cDIB& target) {
  if (target.BPP() != 8 || target.Width() != frame.width || target.Height() != frame.height) {
    if (!target.Create(frame.width, frame.height, 8)) {
      Raise(kErrInvalidCall, "No 8-bit bitmap for the frame");
    }
  }
  BitsView view;
  MapDIBBits(view, target);
  std::vector<unsigned char*> rows(size_t(frame.height));
  for (int32_t y = 0; y < frame.height; ++y) rows[size_t(y)] = view.row(y).data();
  return rows;
}

RgbaFrame ToRgba(const cDIB& frame32) {
  if (frame32.BPP() != 32 || frame32.Width() <= 0 || frame32.Height() <= 0) {
    Raise(kErrInvalidCall, "Colour quantisation needs a 32-bit frame");
  }
  RgbaFrame frame;
  frame.width = frame32.Width();
  frame.height = frame32.Height();
  frame.pixels.resize(size_t(frame.width) * size_t(frame.height) * 4);
  PixelView view;
  MapDIBPixels(view, frame32);
  uint8_t* out = frame.pixels.data();
  for (int32_t y = 0; y < frame.height; ++y) {
    for (const Pixel32& p : view.row(y)) {
      out[0] = p.red, out[1] = p.green, out[2] = p.blue, out[3] = 255;
      out += 4;
    }
  }
  return frame;
}

}  // namespace qm::quantize
