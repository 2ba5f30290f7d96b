#include "convert/mAVIImp.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <vector>

#include "imaging/cDIB.h"
#include "imaging/cPal8bpp.h"
#include "imaging/mDither8bpp.h"
#include "imaging/quantize.h"
#include "platform/avi.h"
#include "platform/bmp.h"
#include "platform/byte_reader.h"
#include "platform/error.h"
#include "platform/error_report.h"
#include "platform/gdi.h"
#include "platform/host.h"
#include "platform/numbers.h"
#include "platform/parallel.h"

namespace qm {

namespace {

constexpr const char* kLocation = "in Quillomat2/19/2015.mAVIImp.ImportAVI ";

// Runs one numbered statement of the importer; a run-time error is reported and the import goes
// on with the next statement. Returns false when the statement failed.
template <typename Fn>
bool Step(Host& host, int index, Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const RuntimeError& e) {
    if (e.number() == kErrFileNotFound) {
      host.MessageBox("I need to install the software using Inno.", MsgButtons::Ok, MsgIcon::None,
                      kAppTitle);
    } else {
      ShowErrorReport(host, e, kLocation, StepNumber(index));
    }
  } catch (const std::bad_alloc&) {
    ShowErrorReport(host, "Out of memory", kLocation, StepNumber(index));
  } catch (const std::exception& e) {
    ShowErrorReport(host, e, kLocation, StepNumber(index));
  }
  return false;
}

// A decoded sample (packed bitmap: header, colour table, rows) as a drawing-surface bitmap.
// Every length is checked against the sample; null when it does not hold a whole bitmap.
std::unique_ptr<gdi::DibSection> UnpackFrame(std::span<const uint8_t> packed) {
  ByteReader in(packed);
  gdi::BitmapInfoHeader header;
  if (!ReadBitmapInfoHeader(in, header)) return nullptr;
  if (header.size < 40 || header.compression != 0 || !in.Seek(header.size)) return nullptr;
  std::vector<gdi::RGBQuad> colors;
  if (header.bit_count <= 8) {
    const uint32_t max_colors = 1u << header.bit_count;
    const uint32_t count = header.clr_used == 0 ? max_colors : header.clr_used;
    if (count > max_colors) return nullptr;
    auto table = in.Bytes(size_t(count) * 4);
    if (!table) return nullptr;
    colors.resize(count);
    std::memcpy(colors.data(), table->data(), table->size());
  }
  auto bitmap = gdi::DibSection::Create(header, colors);
  if (!bitmap) return nullptr;
  auto pixels = in.Bytes(bitmap->size_bytes());
  if (!pixels) return nullptr;
  std::memcpy(bitmap->bits(), pixels->data(), pixels->size());
  return bitmap;
}

// The frame drawn into a 32-bit bitmap of its own size: what the stretch copy does at scale
// 1, done row by row without an intermediate bitmap. False (nothing drawn) for any frame that is
// not an uncompressed 24- or 32-bit bitmap of exactly the work bitmap's size.
bool CopySameSizeFrame(std::span<const uint8_t> packed, cDIB& work) {
  ByteReader in(packed);
  uint32_t header_size = 0, compression = 0;
  int32_t width = 0, height = 0;
  uint16_t planes = 0, bit_count = 0;
  if (!(in.U32LE(header_size) && in.I32LE(width) && in.I32LE(height) && in.U16LE(planes) &&
        in.U16LE(bit_count) && in.U32LE(compression))) {
    return false;
  }
  if (header_size < 40 || compression != 0 || (bit_count != 24 && bit_count != 32)) return false;
  if (work.BPP() != 32 || width != work.Width() || height == INT32_MIN ||
      (height < 0 ? -height : height) != work.Height()) {
    return false;
  }
  const size_t stride = size_t(gdi::DibRowStride(uint64_t(width), bit_count));
  const size_t rows = size_t(work.Height());
  if (!in.Seek(header_size) || !in.has(stride * rows)) return false;
  const uint8_t* bits = packed.data() + header_size;
  const bool bottom_up = height > 0;
  PixelView view;
  MapDIBPixels(view, work);
  ForRowsInTwo(int32_t(rows), int64_t(width) * int64_t(rows), [&](int32_t first, int32_t last) {
    for (size_t y = size_t(first); y < size_t(last); ++y) {
      const uint8_t* src = bits + (bottom_up ? rows - 1 - y : y) * stride;
      Pixel32* dst = view.row(int32_t(y)).data();
      if (bit_count == 32) {
        for (int32_t x = 0; x < width; ++x, src += 4) dst[x] = {src[0], src[1], src[2], 0};
      } else {
        for (int32_t x = 0; x < width; ++x, src += 3) dst[x] = {src[0], src[1], src[2], 0};
      }
    }
  });
  return true;
}

// Frame `number` of the video, drawn into the 32-bit work bitmap at the work bitmap's size.
void DrawFrame(std::span<const uint8_t> packed, int32_t number, cDIB& work,
               gdi::DeviceContext& source_dc) {
  if (CopySameSizeFrame(packed, work)) return;
  auto bitmap = UnpackFrame(packed);
  if (!bitmap) Raise(kErrInvalidPicture, "Frame " + std::to_string(number) + " cannot be drawn");
  if (!work.hDC())
    Raise(kErrInvalidCall, "No bitmap to draw frame " + std::to_string(number) + " into");
  work.Cls(0);
  source_dc.Select(bitmap.get());
  work.hDC()->SetStretchMode(gdi::kColorOnColor);
  gdi::StretchBlt(work.hDC(), 0, 0, work.Width(), work.Height(), &source_dc, 0, 0, bitmap->width(),
                  bitmap->height(), gdi::kSrcCopy);
  source_dc.Select(nullptr);
}

// The frames of the fitted palette modes, quantised on worker threads: at most four at a time
// beside the thread that reads the video (frames take unequal times, and the reader waits for
// the oldest), each finished (its palette stored) in frame order.
// The bytes do not depend on the timing: a frame's indices and palette depend only on its
// pixels, the frames before it and, in the global mode, the shared palette.
//
// In the local mode a frame that hardly differs from the one before keeps that frame's palette
// (with entries given to colours it lacks) and the indices of its unchanged pixels
// (quantize::RemapChanges), so the unchanged part looks exactly the same and frame differencing
// can leave it out; such a frame waits for the one before.
class FittedFrames {
 public:
  FittedFrames(cGIF& gif, const quantize::Settings& settings, quantize::SharedPalette* shared)
      : gif_(gif), settings_(settings), shared_(shared) {
    if (!shared_) settings_.quiet_error = kLocalQuietError;
  }
  ~FittedFrames() {
    for (Job& job : jobs_) job.done.wait();
  }
  FittedFrames(const FittedFrames&) = delete;
  FittedFrames& operator=(const FittedFrames&) = delete;

  bool Busy() const { return jobs_.size() >= kInFlight; }

  void Start(int16_t frame, const cDIB& work) {
    std::shared_ptr<cDIB> target = gif_.FrameDIBXOR(frame);
    if (!target) Raise(kErrSubscript);
    auto pixels = std::make_shared<const quantize::RgbaFrame>(quantize::ToRgba(work));
    const int lane = int(started_++ % quantize::SharedPalette::kLanes);
    std::shared_future<std::shared_ptr<const Mapped>> before;
    if (!shared_ && previous_pixels_) {
      // Against the frame before, and against the frame whose palette it is, so that a slow
      // change over many frames still gets a palette of its own in time.
      if (quantize::ChangedShare(*previous_pixels_, *pixels) <= kShareWhenChanged &&
          (key_pixels_ == previous_pixels_ ||
           quantize::ChangedShare(*key_pixels_, *pixels) <= kKeyWhenChanged)) {
        before = previous_;
      }
    }
    quantize::Settings settings = settings_;
    if (!shared_) {
      quantize::ColourHistogram histogram = quantize::CoarseHistogram(*pixels);
      if (!previous_histogram_.share.empty() &&
          quantize::CommonColours(previous_histogram_, histogram) < kCutWhenCommon) {
        settings.run_slack = kCutRunSlack;
      }
      previous_histogram_ = std::move(histogram);
    }
    if (!before.valid()) key_pixels_ = pixels;
    previous_pixels_ = pixels;
    std::shared_future<std::shared_ptr<const Mapped>> done =
        std::async(std::launch::async, [settings, shared = shared_, lane, target, pixels,
                                        before]() mutable {
          auto mapped = std::make_shared<Mapped>();
          mapped->target = target;
          if (before.valid()) {
            const std::shared_ptr<const Mapped>& last = before.get();
            mapped->palette = last->palette;
            mapped->reference = last->reference;
            quantize::RemapChanges(settings, *pixels, mapped->palette, *last->target,
                                   mapped->reference, *target);
          } else if (shared) {
            shared->Remap(lane, *pixels, *target, mapped->palette);
          } else {
            quantize::QuantizeFrame(settings, *pixels, *target, mapped->palette);
            mapped->reference = *pixels;
          }
          // The task keeps its function object as long as its result lives; letting go of the
          // frame before here keeps a chain of frames from holding on to all of them.
          before = {};
          pixels.reset();
          return std::shared_ptr<const Mapped>(std::move(mapped));
        }).share();
    previous_ = done;
    jobs_.push_back({frame, done});
  }

  // Stores the oldest frame's palette; its errors surface here.
  void FinishOldest() {
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    const std::shared_ptr<const Mapped>& mapped = job.done.get();
    const quantize::Palette& palette = mapped->palette;
    mapped->target->SetPalette(palette.table);
    std::memcpy(gif_.lpLocalPalette(job.frame), palette.table.data(), palette.table.size());
    gif_.SetLocalPaletteEntries(job.frame, int16_t(palette.entries));
    // A shared palette is the global table; a frame whose remapping ended on other colours
    // carries them itself so it still shows what its indices mean.
    gif_.SetLocalPaletteUsed(job.frame, !shared_ || !(palette == shared_->palette()));
  }
  bool Pending() const { return !jobs_.empty(); }

 private:
  static constexpr size_t kInFlight = 4;
  // At most this share of the pixels changed since the frame before, and since the frame whose
  // palette is kept: a moving object or a caption, not a cut or a pan.
  static constexpr double kShareWhenChanged = 0.25;
  static constexpr double kKeyWhenChanged = 0.5;
  // A frame sharing less than this share of its colours with the frame before is a cut (the
  // next picture of a slideshow). Stored whole in colours of its own, a cut costs several times
  // the bytes of a frame of a pan or a still scene; so its pixels may take up to kCutRunSlack
  // more squared error (about 11 levels of one channel) to continue the run to their left, which
  // LZW stores in fewer codes, while the error still diffuses so areas keep their colour. On
  // slideshows of photos that took 21 to 32% off for 1 to 3 dB (bench/quality.sh).
  static constexpr double kCutWhenCommon = 0.5;
  static constexpr float kCutRunSlack = 128.0f;
  // Local palettes carry errors down to about 1.4 levels (the default drops those under 2):
  // blurred PSNR +0.15 to +0.25 dB on pans and captions for 1 to 2% more bytes.
  static constexpr float kLocalQuietError = 2.0f;
  struct Mapped {
    quantize::Palette palette;
    std::shared_ptr<cDIB> target;
    quantize::RgbaFrame reference;  // the source colour each index was chosen for
  };
  struct Job {
    int16_t frame;
    std::shared_future<std::shared_ptr<const Mapped>> done;
  };
  cGIF& gif_;
  quantize::Settings settings_;
  quantize::SharedPalette* shared_;
  std::deque<Job> jobs_;
  uint64_t started_ = 0;
  std::shared_ptr<const quantize::RgbaFrame> previous_pixels_, key_pixels_;
  quantize::ColourHistogram previous_histogram_;
  std::shared_future<std::shared_ptr<const Mapped>> previous_;
};

}  // namespace

int16_t FrameDelayFromStream(int32_t end_time_ms, int32_t frames) {
  if (frames == 0) Raise(kErrDivisionByZero);
  const int32_t frame_ms = CLng(double(end_time_ms) / double(frames));
  return CInt(double(frame_ms) / 10.0);
}

int16_t ChosenFrameDelay(const FrameTiming& timing, int32_t frame, int32_t frames,
                         int16_t rate_delay) {
  int32_t chosen = -1;
  if (!timing.delays_cs.empty()) {
    const size_t index = std::min(size_t(std::max(frame, 1) - 1), timing.delays_cs.size() - 1);
    chosen = timing.delays_cs[index];
  }
  if (frame == 1 && timing.hold_first_cs >= 0) chosen = timing.hold_first_cs;
  if (frame == frames && timing.hold_last_cs >= 0) chosen = timing.hold_last_cs;
  return chosen < 0 ? rate_delay : int16_t(std::min<int32_t>(chosen, 32767));
}

bool ImportAVI(std::string filename, cGIF& gif, const FrameTiming& timing,
               const FramePalettes& palettes, Host& host) {
  bool result = false;
  bool failed = false;

  // Opening the stream and its frame reader; either failing ends the import with false.
  std::unique_ptr<avi::AviInputStream> stream;
  int opened = -1;
  Step(host, 0, [&] {
    opened = avi::AVIStreamOpenFromFile(stream, filename, avi::kStreamTypeVideo, 0,
                                        avi::kOfShareExclusive);
  });
  if (avi::Failed(opened) || !stream) return false;
  std::unique_ptr<avi::AviGetFrame> frames;
  Step(host, 1, [&] { frames = avi::AVIStreamGetFrameOpen(*stream); });
  if (!frames) {
    avi::AVIStreamRelease(stream);
    return false;
  }

  int32_t n = 0;
  int16_t delay = 0;
  avi::AviStreamInfo info;
  cDIB work;
  cPal8bpp palette;
  mDither8bpp::Context reduction;
  reduction.SetPaletteMode(palettes.palette_mode);
  reduction.SetDitherMode(palettes.dither_mode);
  Step(host, 2, [&] {
    n = avi::AVIStreamLength(*stream);
    host.SetProgressStage("Colours");
    host.SetProgressMax(n);
    if (n > kMaxGifFrames) {
      n = 0;
      failed = true;
      Raise(kErrOverflow, "The video has more frames than an animation holds (" +
                              std::to_string(kMaxGifFrames) + ")");
    }
  });
  // An empty stream has no per-frame time; it simply yields no frames.
  if (n > 0) {
    Step(host, 3, [&] {
      const int32_t end = avi::AVIStreamSampleToTime(*stream, avi::AVIStreamStart(*stream) + n);
      delay = FrameDelayFromStream(end, n);
    });
  }
  Step(host, 4, [&] {
    avi::AVIStreamInfo(*stream, info, 140);
    if (!work.Create(info.frame.right, info.frame.bottom, 32)) {
      Raise(kErrInvalidCall, "The video's frame size cannot be drawn");
    }
  });
  const int32_t width = info.frame.right, height = info.frame.bottom;

  auto source_dc = gdi::CreateCompatibleDC();

  const bool fitted = palettes.palette_mode == 2 || palettes.palette_mode == 3;
  quantize::Settings settings;
  settings.dither_mode = palettes.dither_mode;
  std::unique_ptr<quantize::SharedPalette> shared;
  int32_t progress_offset = 0;
  if (palettes.palette_mode == 2 && n > 0) {
    // The first pass: every frame into the histogram of the one palette.
    Step(host, 17, [&] {
      host.SetProgressMax(2 * n);
      shared = std::make_unique<quantize::SharedPalette>(settings);
    });
    for (int32_t i = 1; i <= n && shared && !failed; ++i) {
      std::span<const uint8_t> packed;
      Step(host, 6, [&] { packed = avi::AVIStreamGetFrame(*frames, i - 1); });
      if (packed.empty()) failed = true;
      Step(host, 7, [&] {
        host.SetProgressValue(i);
        host.Yield();
      });
      if (host.CancelRequested()) failed = true;
      if (failed) break;
      Step(host, 8, [&] {
        DrawFrame(packed, i, work, *source_dc);
        shared->Add(quantize::ToRgba(work));
      });
    }
    if (!failed && shared && !Step(host, 17, [&] { shared->Build(); })) shared.reset();
    progress_offset = n;
    if (!shared) failed = true;
    if (failed) n = 0;
  }
  FittedFrames fitted_frames(gif, settings, shared.get());

  for (int32_t i = 1; i <= n; ++i) {
    int16_t frame = 0;
    Step(host, 5, [&] {
      frame = CInt(i);
      gif.FrameInsert(frame, CInt(width), CInt(height));
    });
    if (frame == 0) continue;
    std::span<const uint8_t> packed;
    Step(host, 6, [&] { packed = avi::AVIStreamGetFrame(*frames, i - 1); });
    if (packed.empty()) {
      failed = true;
      break;
    }
    Step(host, 7, [&] {
      host.SetProgressValue(progress_offset + i);
      host.Yield();
    });
    if (host.CancelRequested()) {
      failed = true;
      break;
    }
    Step(host, 8, [&] { DrawFrame(packed, i, work, *source_dc); });
    if (fitted) {
      if (fitted_frames.Busy()) Step(host, 10, [&] { fitted_frames.FinishOldest(); });
      Step(host, 9, [&] { fitted_frames.Start(frame, work); });
    } else {
      Step(host, 9, [&] {
        std::shared_ptr<cDIB> target = gif.FrameDIBXOR(frame);
        if (!target) Raise(kErrSubscript);
        mDither8bpp::ReduceColors(reduction, work, *target, palette, i > 1);
      });
      Step(host, 10, [&] {
        const int entries = std::clamp<int>(palette.Entries(), 0, 256);
        std::memcpy(gif.lpLocalPalette(frame), palette.lpPalette().data(), size_t(entries) * 4);
        gif.SetLocalPaletteEntries(frame, int16_t(entries));
      });
    }
    Step(host, 11, [&] { gif.SetFrameDisposalMethod(frame, 3); });
    Step(host, 12, [&] { gif.SetFrameDelay(frame, ChosenFrameDelay(timing, i, n, delay)); });
  }

  while (fitted_frames.Pending()) Step(host, 10, [&] { fitted_frames.FinishOldest(); });

  avi::AVIStreamGetFrameClose(frames);
  Step(host, 13, [&] {
    gif.SetScreenWidth(CInt(width));
    gif.SetScreenHeight(CInt(height));
  });
  Step(host, 14, [&] { gif.SetScreenPixelAspectRatio(1.0f); });
  Step(host, 15, [&] {
    if (fitted) {
      // Local mode: every frame carries its own table.
      gif.SetGlobalPaletteExists(shared != nullptr);
      if (!shared) return;
      const quantize::Palette& global = shared->palette();
      gif.SetGlobalPaletteEntries(int16_t(global.entries));
      std::memcpy(gif.lpGlobalPalette(), global.table.data(), global.table.size());
      return;
    }
    gif.SetGlobalPaletteExists(true);
    const int entries = std::clamp<int>(palette.Entries(), 0, 256);
    gif.SetGlobalPaletteEntries(int16_t(entries));
    if (entries > 0) std::memcpy(gif.lpGlobalPalette(), palette.lpPalette().data(), entries * 4);
  });
  Step(host, 16, [&] { host.SetProgressValue(0); });
  result = !failed;
  avi::AVIStreamRelease(stream);
  return result;
}

}  // namespace qm
