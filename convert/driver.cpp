#include "convert/driver.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "convert/mAVIImp.h"
#include "convert/modAVI.h"
#include "convert/output_file.h"
#include "convert/size_fit.h"
#include "gif/mGIFLZWEnc.h"
#include "gif/optimize_frames.h"
#include "platform/error.h"
#include "platform/error_report.h"
#include "platform/fs.h"
#include "platform/memory.h"
#include "platform/numbers.h"

namespace qm {

namespace {

constexpr const char* kLocation = "in Quillomat2/19/2015.Form1.PushButton2_Click ";

void Tell(Host& host, const std::string& text, MsgIcon icon) {
  host.MessageBox(text, MsgButtons::Ok, icon, kAppTitle);
}

// Runs one numbered step; a run-time error is shown with the common report and the caller goes
// on with its next step. Returns false when the step failed; `first_error` keeps the description
// of the run's first error.
template <typename Fn>
bool Step(Host& host, std::string& first_error, int step, Fn&& fn) {
  std::string description;
  try {
    fn();
    return true;
  } catch (const std::bad_alloc&) {
    description = DescribeError(7);
  } catch (const std::exception& e) {
    description = e.what();
  }
  if (first_error.empty()) first_error = description;
  ShowErrorReport(host, description, kLocation, StepNumber(step - 1));
  return false;
}

// A cancel request lives until the run it stopped (or that ran to its end) is over.
struct CancelScope {
  Host& host;
  ~CancelScope() { host.ResetCancel(); }
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

ConversionResult StartConverting(const std::vector<std::string>& files, const std::string& fps_text,
                                 const std::string& output_folder, cGIF& gif,
                                 const ConversionOptions& options, const std::string& output_file) {
  ConversionJob job;
  job.files = files;
  job.fps_text = fps_text;
  job.output_folder = output_folder;
  job.output_file = output_file;
  job.options = options;
  return Convert(job, gif);
}

ConversionResult Convert(const ConversionJob& job, cGIF& gif) {
  Host& host = job.host ? *job.host : CurrentHost();
  const std::vector<std::string>& files = job.files;
  const ConversionOptions& options = job.options;
  const bool to_file = job.memory == nullptr;
  ConversionResult result;
  auto step = [&](int number, auto&& fn) { return Step(host, result.error, number, fn); };
  auto tell = [&host](const std::string& text, MsgIcon icon) { Tell(host, text, icon); };

  // The frame blocks kept for reuse between frames go back to the system when the run ends.
  struct DropFrameCacheAtEnd {
    ~DropFrameCacheAtEnd() { DropFrameMemoryCache(); }
  } drop_frame_cache;
  CancelScope cancel_scope{host};

  // The input checks change nothing.
  if (files.empty()) {
    tell("No files added.", MsgIcon::None);
    return result;
  }
  if (!IsNumeric(job.fps_text)) {
    tell("Enter frames per second", MsgIcon::None);
    return result;
  }
  // Nor do the checks that keep a run from failing late or destroying a picture.
  if (files.size() > size_t(kMaxGifFrames)) {
    tell("Too many pictures: " + std::to_string(files.size()) +
             " are listed, and an animation holds at most " + std::to_string(kMaxGifFrames) +
             ". Nothing was converted.",
         MsgIcon::Exclamation);
    return result;
  }
  const std::string output_path = !to_file                  ? std::string()
                                  : job.output_file.empty() ? JoinPath(job.output_folder, "out.gif")
                                                            : job.output_file;
  if (const std::string* picture = to_file ? PictureAtOutput(files, output_path) : nullptr) {
    tell("The output file is one of the pictures:\r\n" + output_path + "\r\n(listed as " +
             *picture + "). Choose another output so that the picture is not overwritten.",
         MsgIcon::Exclamation);
    return result;
  }
  result.output_path = output_path;
  result.started = true;
  if (options.max_bytes > 0) return ConvertToFit(job, gif, host, output_path);

  // On a cancel request: everything this run made goes, and the user hears why it stopped.
  std::unique_ptr<PrivateTempFolder> temp;
  auto end_cancelled = [&] {
    result.cancelled = true;
    result.gif_written = false;
    step(16, [&] {
      if (temp) temp->Keep(false);
      temp.reset();
      result.temp_folder.clear();
    });
    step(17, [&] { host.SetMousePointer(kPointerDefault); });
    step(18, [&] { host.SetProgressValue(0); });
    step(19, [&] { tell("Cancelled.", MsgIcon::None); });
    return result;
  };

  host.Yield();
  if (host.CancelRequested()) {
    result.started = false;
    result.cancelled = true;
    tell("Cancelled.", MsgIcon::None);
    return result;
  }

  host.SetMousePointer(kPointerBusy);

  // A private folder for the intermediate files, removed when this run ends.
  std::string avi_path;
  step(6, [&] {
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

  step(7, [&] {
    const int16_t fps = CInt(ParseNumber(job.fps_text));
    if (avi_path.empty()) return;
    WriteAVI(avi_path, fps, files, temp_folder, options.max_width, options.max_height, host);
  });
  if (host.CancelRequested()) return end_cancelled();

  step(9, [&] { host.SetProgressValue(0); });
  step(11, [&] {
    gif.Destroy();
    SetPlayCount(gif, options.loop_count);
    gif.SetLossy(options.lossy);
  });

  auto remove_intermediate = [&] {
    if (!options.keep_temp && !avi_path.empty()) DeleteFileQuiet(avi_path);
  };

  bool imported = false;
  const FrameTiming timing{options.hold_first_cs, options.hold_last_cs, options.delays_cs};
  const FramePalettes palettes{options.palette_mode, options.dither_mode};
  step(12,
       [&] { imported = !avi_path.empty() && ImportAVI(avi_path, gif, timing, palettes, host); });
  if (!imported && host.CancelRequested()) return end_cancelled();
  if (!imported) {
    step(13, [&] {
      remove_intermediate();
      // The user has seen the first error's report already; this names it again beside the
      // outcome.
      std::string text = "Unexpected error creating GIF file.";
      if (!result.error.empty()) text += "\r\n" + result.error;
      result.error = text;
      tell(text, MsgIcon::Exclamation);
      host.SetMousePointer(kPointerDefault);
    });
    return result;
  }

  bool has_frames = false;
  step(14, [&] { has_frames = gif.FramesCount() > 0; });
  if (!has_frames) {
    step(14, [&] { tell("Nothing to save", MsgIcon::Exclamation); });
  } else {
    step(15, [&] {
      host.Yield();
      host.SetMousePointer(kPointerBusy);
    });
    // A file the pass leaves whole shows the same frames: only its size differs.
    if (options.optimize) step(15, [&] { OptimizeFrames(gif, host); });
    bool saved = false;
    std::string failure = "Unexpected error saving GIF file.";
    step(15, [&] {
      if (to_file) {
        OutputGifFile file(output_path);
        saved = file.ok() && gif.Save(file, host) && file.Commit();
        failure = file.FailureText();
      } else {
        job.memory->bytes.clear();
        saved = gif.Save(*job.memory, host);
      }
    });
    if (!saved && host.CancelRequested()) return end_cancelled();
    if (!saved) {
      // No "Done." after this: the user is told what failed and why, and the old out.gif stays.
      result.error = failure;
      step(15, [&] {
        host.SetMousePointer(kPointerDefault);
        tell(result.error, MsgIcon::Exclamation);
      });
      step(16, remove_intermediate);
      step(18, [&] { host.SetProgressValue(0); });
      return result;
    }
    result.gif_written = saved;
  }

  step(16, remove_intermediate);
  step(17, [&] { host.SetMousePointer(kPointerDefault); });
  step(18, [&] { host.SetProgressValue(0); });
  step(19, [&] { tell("Done.", MsgIcon::None); });
  return result;
}

}  // namespace qm
