#include "convert/driver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "convert/mAVIImp.h"
#include "convert/modAVI.h"
#include "gif/optimize_frames.h"
#include "imaging/mDither8bpp.h"
#include "platform/cancel.h"
#include "platform/error.h"
#include "platform/error_report.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "platform/memory.h"
#include "platform/numbers.h"
#include "platform/picture_io.h"

namespace qm {

namespace {

constexpr const char* kLocation = "in Quillomat2/19/2015.Form1.PushButton2_Click ";

std::atomic<bool> g_running{false};

class RunningFlag {
 public:
  RunningFlag() : owner_(!g_running.exchange(true)) {}
  ~RunningFlag() {
    if (owner_) g_running = false;
  }
  bool owner() const { return owner_; }

 private:
  bool owner_;
};

void Tell(const std::string& text, MsgIcon icon) {
  CurrentHost().MessageBox(text, MsgButtons::Ok, icon, kAppTitle);
}

// Runs one numbered step; a run-time error is shown with the common report and the caller goes
// on with its next step. Returns false when the step failed.
template <typename Fn>
bool Step(int step, Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const std::bad_alloc&) {
    ShowErrorReport(DescribeError(7), kLocation, StepNumber(step - 1));
  } catch (const std::exception& e) {
    ShowErrorReport(e, kLocation, StepNumber(step - 1));
  }
  return false;
}

// Frame 1 of a GIF file as a 32-bit picture of the logical screen's size (the frame's own size
// when the screen is smaller), the frame placed at its position on black; transparent pixels
// stay black.
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

void RegisterDecodersOnce() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterPictureDecoder(DecodeGifFirstFrame); });
}

// A cancel request lives until the run it stopped (or that ran to its end) is over.
struct CancelScope {
  ~CancelScope() { ResetCancel(); }
};

// The listed picture that is the same file as the output, or nullptr. Saving deletes the output
// first, so such a picture would be lost.
const std::string* PictureAtOutput(const std::vector<std::string>& files,
                                   const std::string& output_path) {
  const std::optional<FileIdentity> output = IdentifyFile(output_path);
  if (!output) return nullptr;  // nothing there yet: nothing to destroy
  for (const std::string& file : files) {
    if (IdentifyFile(file) == output) return &file;
  }
  return nullptr;
}

}  // namespace

void ApplyBestPreset(ConversionOptions& options) {
  // The one place that says what --best means; tuned by measuring bench/quality.sh.
  options.palette_mode = 3;
  options.dither_mode = 2;
  options.optimize = true;
}

void SetPlayCount(cGIF& gif, int32_t loop_count) {
  gif.SetLoopingExtension(loop_count != 1);
  const int32_t repeats = loop_count >= 2 ? std::min(loop_count, kMaxLoopCount) - 1 : 0;
  gif.SetAnimationLoops(int16_t(repeats));
}

bool ConversionRunning() {
  return g_running.load();
}

ConversionResult StartConverting(const std::vector<std::string>& files, const std::string& fps_text,
                                 const std::string& output_folder, cGIF& gif,
                                 const ConversionOptions& options, const std::string& output_file) {
  ConversionResult result;
  RunningFlag running;
  if (!running.owner()) return result;
  // The frame blocks kept for reuse between frames go back to the system when the run ends.
  struct DropFrameCacheAtEnd {
    ~DropFrameCacheAtEnd() { DropFrameMemoryCache(); }
  } drop_frame_cache;
  CancelScope cancel_scope;
  RegisterDecodersOnce();

  // 1-2: the input checks change nothing.
  if (files.empty()) {
    Tell("No files added.", MsgIcon::None);
    return result;
  }
  if (!IsNumeric(fps_text)) {
    Tell("Enter frames per second", MsgIcon::None);
    return result;
  }
  // Nor do the checks that keep a run from failing late or destroying a picture.
  if (files.size() > size_t(kMaxGifFrames)) {
    Tell("Too many pictures: " + std::to_string(files.size()) +
             " are listed, and an animation holds at most " + std::to_string(kMaxGifFrames) +
             ". Nothing was converted.",
         MsgIcon::Exclamation);
    return result;
  }
  const std::string output_path =
      output_file.empty() ? JoinPath(output_folder, "out.gif") : output_file;
  if (const std::string* picture = PictureAtOutput(files, output_path)) {
    Tell("The output file is one of the pictures:\r\n" + output_path + "\r\n(listed as " +
             *picture + "). Choose another output so that the picture is not overwritten.",
         MsgIcon::Exclamation);
    return result;
  }
  result.output_path = output_path;
  result.started = true;

  // On a cancel request: everything this run made goes, and the user hears why it stopped.
  std::unique_ptr<PrivateTempFolder> temp;
  auto end_cancelled = [&] {
    result.cancelled = true;
    result.gif_written = false;
    Step(16, [&] {
      DeleteFileQuiet(output_path);
      if (temp) temp->Keep(false);
      temp.reset();
      result.temp_folder.clear();
    });
    Step(17, [&] { CurrentHost().SetMousePointer(kPointerDefault); });
    Step(18, [&] { CurrentHost().SetProgressValue(0); });
    Step(19, [&] { Tell("Cancelled.", MsgIcon::None); });
    return result;
  };

  // 3
  CurrentHost().Yield();
  if (CancelRequested()) {
    // Before anything changed: the old out.gif stays.
    result.started = false;
    result.cancelled = true;
    Tell("Cancelled.", MsgIcon::None);
    return result;
  }

  // 4: the old out.gif goes first, so a failed run never leaves a stale animation behind.
  Step(4, [&] { DeleteFileQuiet(output_path); });

  // 5
  CurrentHost().SetMousePointer(kPointerBusy);

  // 6: a private folder for the intermediate files, removed when this run ends.
  std::string avi_path;
  Step(6, [&] {
    RemoveStaleTempFolders();
    temp = std::make_unique<PrivateTempFolder>();
    if (temp->path().empty()) {
      Raise(kErrPermissionDenied, "Could not create a temporary folder in " + TempFolder() + ": " +
                                      SystemErrorText(temp->error()));
    }
    if (options.keep_temp) temp->Keep();
    result.temp_folder = temp->path();
    avi_path = JoinPath(temp->path(), "temp.avi");
  });
  const std::string temp_folder = temp ? temp->path() : std::string();

  // 7
  Step(7, [&] {
    const int16_t fps = CInt(ParseNumber(fps_text));
    if (avi_path.empty()) return;
    WriteAVI(avi_path, fps, files, temp_folder, options.max_width, options.max_height);
  });
  if (CancelRequested()) return end_cancelled();

  // 8 (nothing to stop: the video library needs no start-up here), 9, 10, 11
  Step(9, [&] { CurrentHost().SetProgressValue(0); });
  Step(10, [&] {
    mDither8bpp::SetPaletteMode(options.palette_mode);
    mDither8bpp::SetDitherMode(options.dither_mode);
  });
  Step(11, [&] {
    gif.Destroy();
    SetPlayCount(gif, options.loop_count);
    gif.SetLossy(options.lossy);
  });

  auto remove_intermediate = [&] {
    if (!options.keep_temp && !avi_path.empty()) DeleteFileQuiet(avi_path);
  };

  // 12-13
  bool imported = false;
  const FrameTiming timing{options.hold_first_cs, options.hold_last_cs, options.delays_cs};
  const FramePalettes palettes{options.palette_mode, options.dither_mode};
  Step(12, [&] { imported = !avi_path.empty() && ImportAVI(avi_path, gif, timing, palettes); });
  if (!imported && CancelRequested()) return end_cancelled();
  if (!imported) {
    Step(13, [&] {
      remove_intermediate();
      Tell("Unexpected error creating GIF file.", MsgIcon::Exclamation);
      CurrentHost().SetMousePointer(kPointerDefault);
    });
    return result;
  }

  // 14-15
  bool has_frames = false;
  Step(14, [&] { has_frames = gif.FramesCount() > 0; });
  if (!has_frames) {
    Step(14, [&] { Tell("Nothing to save", MsgIcon::Exclamation); });
  } else {
    Step(15, [&] {
      CurrentHost().Yield();
      CurrentHost().SetMousePointer(kPointerBusy);
    });
    // A file the pass leaves whole shows the same frames: only its size differs.
    if (options.optimize) Step(15, [&] { OptimizeFrames(gif); });
    bool saved = false;
    Step(15, [&] { saved = gif.Save(output_path); });
    if (!saved && CancelRequested()) return end_cancelled();
    if (!saved) {
      Step(15, [&] {
        // A half-written animation is worse than none.
        DeleteFileQuiet(output_path);
        CurrentHost().SetMousePointer(kPointerDefault);
        Tell("Unexpected error saving GIF file.", MsgIcon::Exclamation);
      });
    }
    result.gif_written = saved;
  }

  // 16-19
  Step(16, remove_intermediate);
  Step(17, [&] { CurrentHost().SetMousePointer(kPointerDefault); });
  Step(18, [&] { CurrentHost().SetProgressValue(0); });
  Step(19, [&] { Tell("Done.", MsgIcon::None); });
  return result;
}

}  // namespace qm
