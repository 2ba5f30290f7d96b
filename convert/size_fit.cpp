#include "convert/size_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "convert/estimate.h"
#include "convert/output_file.h"
#include "gif/mGIFLZWEnc.h"
#include "imaging/resample.h"
#include "platform/picture_io.h"

namespace qm {

namespace {

// A first look at the list, a sample at this long side, is cheap and tells roughly how much
// smaller the frames must be.
constexpr int32_t kProbeSide = 160;
// Frames up to this long side go without it: the sample at their own size costs little more
// and tells much more (a small probe of pictures that cannot be decoded reduced, such as PNG,
// costs nearly what one at full size does).
constexpr int32_t kProbeAbove = 1024;
// Where a size is aimed, as a share of the cap: the lossy level then brings the file up to just
// under the cap.
constexpr double kAim = 0.92;
constexpr double kLowest = 0.85;  // below this share a smaller frame than needed was chosen
constexpr double kClose = 0.96;   // a level that lands between this share and the cap is taken
// How a GIF's size grows with its frames' area, bytes ~ area^gamma: measured on photos, 0.75 to
// 0.9 between 400 and 640 pixels wide, 0.6 to 1.3 between 160 and 640, so it is measured for
// each list, within these bounds.
constexpr double kMinGamma = 0.5;
constexpr double kNearGamma = 0.85;
constexpr double kMaxGamma = 1.0;
// Whole-list conversions at most, the last one only to get under a cap the others missed.
constexpr int kMaxWholeRuns = 3;

// The user's host for the trials' yields, progress and cancel request. Their messages are kept
// for the user only when the fit fails, their pointer changes are the fit's own, and their end
// does not clear the user's cancel request.
class TrialHost final : public Host {
 public:
  explicit TrialHost(Host& user) : user_(user) {}
  void Yield() override { user_.Yield(); }
  void SetProgressStage(const std::string& stage) override { user_.SetProgressStage(stage); }
  void SetProgressMax(int max) override { user_.SetProgressMax(max); }
  void SetProgressValue(int value) override { user_.SetProgressValue(value); }
  void SetMousePointer(int) override {}
  int GetMousePointer() const override { return user_.GetMousePointer(); }
  bool CancelRequested() const override { return user_.CancelRequested(); }
  void ResetCancel() override {}
  MsgAnswer MessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                       const std::string& title) override {
    messages.push_back({text, icon, title});
    return Host::MessageBox(text, buttons, icon, title);
  }

  struct Message {
    std::string text;
    MsgIcon icon;
    std::string title;
  };
  std::vector<Message> messages;

 private:
  Host& user_;
};

// One trial: the pictures converted at one size, and the file's size at the lossy levels tried.
struct Trial {
  std::unique_ptr<cGIF> gif = std::make_unique<cGIF>();
  int32_t pictures = 0;
  int32_t long_side = 0;
  std::map<int32_t, int64_t> bytes;  // the file's size by lossy level
  // The file at the level saved last, so the chosen one need not be saved again.
  int32_t kept_level = -1;
  std::vector<uint8_t> kept;
  // Every few frames of a long trial (sharing their bitmaps), saved at a level for a quick
  // estimate of the whole file's size there: lossy coding costs as much per frame as the
  // conversion itself, so the levels are tried on a part.
  std::unique_ptr<cGIF> part;
  std::map<int32_t, int64_t> part_bytes;
};

// Frames at most this many are saved whole when a level is tried; more are tried on a part.
constexpr int32_t kPartFrames = 8;

// Every `step`-th frame of `gif` from the first, sharing the frames' bitmaps.
std::unique_ptr<cGIF> EveryNthFrame(cGIF& gif, int32_t step) {
  auto part = std::make_unique<cGIF>();
  part->SetLoopingExtension(gif.LoopingExtension());
  part->SetAnimationLoops(gif.AnimationLoops());
  part->SetGlobalPaletteExists(gif.GlobalPaletteExists());
  part->SetGlobalPaletteEntries(gif.GlobalPaletteEntries());
  std::copy_n(gif.lpGlobalPalette(), 1024, part->lpGlobalPalette());
  int16_t n = 0;
  for (int32_t f = 1; f <= gif.FramesCount(); f += step) {
    part->FrameInsert(++n, 1, 1);
    part->Frame(n) = gif.Frame(int16_t(f));
  }
  part->SetScreenWidth(gif.ScreenWidth());
  part->SetScreenHeight(gif.ScreenHeight());
  return part;
}

class Fitter {
 public:
  Fitter(const ConversionJob& job, Host& host) : job_(job), host_(host), trial_host_(host) {}

  ConversionResult Run(cGIF& gif, const std::string& output_path);

 private:
  // Converts `files` with the long side at most `long_side`; null when the run failed (the
  // failure is in failure_) or was cancelled.
  std::unique_ptr<Trial> Convert(const std::vector<std::string>& files, int32_t long_side);
  // The whole list's size at `level` (scaled up from a trial of some of its pictures), saving
  // again in memory when that level is new; a long trial is estimated from a part of its
  // frames unless `exact`. -1 when a save failed or was cancelled.
  int64_t BytesAt(Trial& trial, int32_t level, bool exact = false);
  // The lowest level from lo_ to hi_ at which the whole list fits the cap, starting the search
  // at `guess`, checked on the exact size; -1 when even hi_ does not fit, -2 when a save failed.
  int32_t Level(Trial& trial, int32_t guess);
  // The long side at which the whole list at level hi_ should take `aim` bytes.
  int32_t Predict(double aim) const;
  void Measured(int32_t long_side, int64_t bytes) { points_.push_back({long_side, bytes}); }
  ConversionResult Fail(ConversionResult result);

  const ConversionJob& job_;
  Host& host_;
  TrialHost trial_host_;
  PictureSize base_;  // the frames as the options make them, before any fit
  int32_t base_side_ = 0;
  int32_t lo_ = 0, hi_ = 0;
  int64_t cap_ = 0;
  std::vector<std::pair<int32_t, int64_t>> points_;  // (long side, whole-list bytes at hi_)
  bool cancelled_ = false;
};

std::unique_ptr<Trial> Fitter::Convert(const std::vector<std::string>& files, int32_t long_side) {
  ConversionJob trial_job;
  trial_job.files = files;
  trial_job.fps_text = job_.fps_text;
  trial_job.options = job_.options;
  trial_job.options.max_bytes = 0;
  trial_job.options.keep_temp = false;
  if (long_side < base_side_) {
    const double f = double(long_side) / base_side_;
    trial_job.options.max_width = std::max(1, int32_t(std::lround(base_.width * f)));
    trial_job.options.max_height = std::max(1, int32_t(std::lround(base_.height * f)));
  }
  trial_job.host = &trial_host_;
  MemoryGifOutput memory;
  trial_job.memory = &memory;
  auto trial = std::make_unique<Trial>();
  const ConversionResult r = qm::Convert(trial_job, *trial->gif);
  if (r.cancelled) cancelled_ = true;
  if (!r.gif_written) return nullptr;
  trial_host_.messages.clear();
  trial->pictures = int32_t(files.size());
  trial->long_side = std::max(trial->gif->ScreenWidth(), trial->gif->ScreenHeight());
  trial->bytes[job_.options.lossy] = int64_t(memory.bytes.size());
  trial->kept_level = job_.options.lossy;
  trial->kept = std::move(memory.bytes);
  return trial;
}

int64_t Fitter::BytesAt(Trial& trial, int32_t level, bool exact) {
  const int32_t count = int32_t(job_.files.size());
  auto save = [&](cGIF& gif, std::map<int32_t, int64_t>& sizes, int32_t at, bool keep) -> int64_t {
    if (auto it = sizes.find(at); it != sizes.end()) return it->second;
    gif.SetLossy(at);
    MemoryGifOutput memory;
    if (!gif.Save(memory, trial_host_)) {
      cancelled_ = host_.CancelRequested();
      return -1;
    }
    sizes[at] = int64_t(memory.bytes.size());
    if (keep) trial.kept_level = at, trial.kept = std::move(memory.bytes);
    return sizes[at];
  };
  if (exact || trial.bytes.count(level) || trial.gif->FramesCount() <= kPartFrames) {
    const int64_t bytes = save(*trial.gif, trial.bytes, level, true);
    return bytes < 0 ? -1 : ScaleEstimate(bytes, trial.pictures, count);
  }
  // The part's sizes at this level and at the options' own, whose whole size the trial has.
  if (!trial.part) {
    const int32_t frames = trial.gif->FramesCount();
    trial.part = EveryNthFrame(*trial.gif, (frames + kPartFrames - 1) / kPartFrames);
  }
  const int64_t part_lo = save(*trial.part, trial.part_bytes, lo_, false);
  const int64_t part_at = save(*trial.part, trial.part_bytes, level, false);
  if (part_lo <= 0 || part_at < 0) return -1;
  const double whole_lo = double(trial.bytes.at(job_.options.lossy));
  return ScaleEstimate(int64_t(whole_lo * part_at / part_lo), trial.pictures, count);
}

int32_t Fitter::Level(Trial& trial, int32_t guess) {
  const int64_t at_lo = BytesAt(trial, lo_);
  if (at_lo < 0) return -2;
  if (at_lo <= cap_) return lo_;
  // The size falls with the level about as a power of (1 + level): the next try is where the
  // two nearest tries on either side of the cap point, aiming a little under it.
  auto x = [](int32_t level) { return std::log1p(double(level)); };
  int32_t misses = lo_, fits = -1;
  int64_t missed_bytes = at_lo, fit_bytes = 0;
  int32_t next = std::clamp(guess, lo_ + 1, hi_);
  for (int tries = 0; tries < 6; ++tries) {
    const int64_t b = BytesAt(trial, next);
    if (b < 0) return -2;
    if (b <= cap_) {
      fits = next, fit_bytes = b;
      if (b >= kClose * cap_) break;
    } else {
      misses = next, missed_bytes = b;
    }
    if (fits < 0) {
      if (misses == hi_) return -1;
      next = hi_;
      continue;
    }
    if (fits - misses <= 1) break;
    const double t = (std::log(kClose * cap_) - std::log(double(missed_bytes))) /
                     (std::log(double(fit_bytes)) - std::log(double(missed_bytes)));
    const double level = std::expm1(x(misses) + t * (x(fits) - x(misses)));
    next = std::clamp(int32_t(std::lround(level)), misses + 1, fits - 1);
  }
  // An estimate chose it; the file itself must fit. When it does not, the estimates of the
  // levels tried, corrected by how far this one was off, point to the next.
  while (true) {
    const int64_t estimate = BytesAt(trial, fits);
    const int64_t exact = BytesAt(trial, fits, true);
    if (estimate < 0 || exact < 0) return -2;
    if (exact <= cap_) return fits;
    if (fits == hi_) return -1;
    const double off = double(exact) / double(estimate);
    int32_t next = hi_;
    for (int32_t level = fits + 1; level < hi_; ++level) {
      const auto it = trial.part_bytes.find(level);
      if (it == trial.part_bytes.end()) continue;
      if (BytesAt(trial, level) * off <= kClose * cap_) {
        next = level;
        break;
      }
    }
    fits = next;
  }
}

int32_t Fitter::Predict(double aim) const {
  // Between the nearest sizes measured on either side of the aim when there are such, else
  // from the nearest one along the growth the two nearest show. One alone: the usual growth
  // near the frames' own size, the steepest from a small probe, so that its guess errs towards
  // a small, cheap next try.
  std::vector<std::pair<int32_t, int64_t>> near = points_;
  std::sort(near.begin(), near.end(), [aim](const auto& a, const auto& b) {
    return std::abs(std::log(a.second / aim)) < std::abs(std::log(b.second / aim));
  });
  const auto& first = near[0];
  const auto other = std::find_if(near.begin() + 1, near.end(), [&](const auto& p) {
    return p.first != first.first && (p.second > aim) != (first.second > aim);
  });
  const auto& second = other != near.end() ? *other : near.size() > 1 ? near[1] : near[0];
  double gamma = 2 * first.first >= base_side_ ? kNearGamma : kMaxGamma;
  if (second.first != first.first) {
    gamma = std::log(double(first.second) / second.second) /
            (2 * std::log(double(first.first) / second.first));
    gamma = std::clamp(gamma, kMinGamma, kMaxGamma);
  }
  const double side = first.first * std::pow(aim / first.second, 1 / (2 * gamma));
  return int32_t(std::clamp<double>(std::floor(side), 1, base_side_));
}

ConversionResult Fitter::Fail(ConversionResult result) {
  if (cancelled_) {
    result.cancelled = true;
    host_.SetMousePointer(kPointerDefault);
    host_.SetProgressValue(0);
    host_.MessageBox("Cancelled.", MsgButtons::Ok, MsgIcon::None, kAppTitle);
    return result;
  }
  // The failed trial's own messages, as a plain run would have shown them.
  for (const TrialHost::Message& m : trial_host_.messages) {
    host_.MessageBox(m.text, MsgButtons::Ok, m.icon, m.title);
    if (result.error.empty() && m.icon == MsgIcon::Exclamation) result.error = m.text;
  }
  host_.SetMousePointer(kPointerDefault);
  host_.SetProgressValue(0);
  return result;
}

ConversionResult Fitter::Run(cGIF& gif, const std::string& output_path) {
  ConversionResult result;
  result.started = true;
  result.output_path = output_path;
  const int32_t count = int32_t(job_.files.size());
  cap_ = job_.options.max_bytes;
  lo_ = job_.options.lossy;
  hi_ = std::max(lo_, kFitLossyLimit);
  if (cap_ < SmallestPossibleGif(count)) {
    result.error = "A GIF of " + std::to_string(count) + (count == 1 ? " frame" : " frames") +
                   " takes at least " + FitSizeText(SmallestPossibleGif(count)) + ", more than " +
                   FitSizeText(cap_) + ". Nothing was written.";
    host_.MessageBox(result.error, MsgButtons::Ok, MsgIcon::Exclamation, kAppTitle);
    return result;
  }
  host_.SetMousePointer(kPointerBusy);

  // The frame size the options give, from the first picture (its errors surface in the trial).
  try {
    PictureSize upright;
    LoadPictureReduced(job_.files.front(), [&](PictureSize size) {
      upright = size;
      return PictureSize{1, 1};
    });
    base_ = FitWithin(upright, job_.options.max_width, job_.options.max_height);
  } catch (const std::exception&) {
  }
  base_side_ = std::max(base_.width, base_.height);
  if (base_side_ <= 0) {
    // Let a plain run say what is wrong with the picture.
    Convert(job_.files, 0);
    return Fail(result);
  }
  const int32_t smallest = std::min(base_side_, kFitSmallestSide);

  std::vector<std::string> sample;
  for (int32_t i : EstimateSample(count)) sample.push_back(job_.files[size_t(i)]);
  const bool whole_sample = int32_t(sample.size()) == count;

  // The first try. A small probe of the sample when the frames are large tells roughly how much
  // smaller they must be; the sample at that size then tells it better, and which lossy level
  // to start from. Neither is needed when the probe leaves no doubt that the frames keep their
  // size, nor when the sample is the whole list.
  int32_t side = base_side_;
  int32_t guess = (lo_ + hi_) / 2;
  bool sure = false;
  if (base_side_ > kProbeAbove) {
    std::unique_ptr<Trial> probe = Convert(sample, kProbeSide);
    if (!probe) return Fail(result);
    const int64_t at_hi = BytesAt(*probe, hi_);
    if (at_hi < 0) return Fail(result);
    Measured(probe->long_side, at_hi);
    side = Predict(kAim * cap_);
    const double scale = double(base_side_) / probe->long_side;
    sure = side == base_side_ && at_hi * std::pow(scale, 2 * kMaxGamma) <= kAim * cap_;
  }
  if (!whole_sample && !sure) {
    std::unique_ptr<Trial> probe = Convert(sample, side);
    if (!probe) return Fail(result);
    const int32_t level = Level(*probe, guess);
    const int64_t at_hi = BytesAt(*probe, hi_);
    if (level == -2 || at_hi < 0) return Fail(result);
    if (level >= 0) guess = level;
    Measured(probe->long_side, at_hi);
    // Near the answer now: the sample's own size, or one it points to with the growth measured.
    if (!(level >= 0 && (probe->long_side == base_side_ || at_hi >= kLowest * cap_))) {
      side = Predict(kAim * cap_);
      guess = hi_;
    }
  }

  // The whole list: at the predicted size, at the lossy level that brings it just under the cap;
  // again at a corrected size when it misses.
  std::unique_ptr<Trial> best;
  int32_t best_level = lo_;
  for (int run = 0; run < kMaxWholeRuns; ++run) {
    std::unique_ptr<Trial> whole = Convert(job_.files, std::max(side, smallest));
    if (!whole) return Fail(result);
    const int32_t level = Level(*whole, guess);
    if (level == -2) return Fail(result);
    if (level >= 0 && (!best || whole->long_side > best->long_side)) {
      best_level = level;
      best = std::move(whole);
      if (best->long_side == base_side_) break;
      // Smaller frames are only worth it with the whole lossy range spent: when even the highest
      // level leaves room to spare, larger ones, if a run is left (the one that fits stays the
      // answer if the larger one misses).
      const int64_t at_hi = BytesAt(*best, hi_);
      if (at_hi < 0) return Fail(result);
      if (at_hi >= kLowest * cap_) break;
      Measured(best->long_side, at_hi);
      const int32_t grown = Predict(kAim * cap_);
      if (run + 1 >= kMaxWholeRuns || grown <= best->long_side) break;
      side = grown;
      guess = hi_;
    } else if (level == -1) {
      // Too large: smaller along the measured growth, at least a little.
      if (best || whole->long_side <= smallest) break;
      Measured(whole->long_side, BytesAt(*whole, hi_));
      side = std::min(Predict(kAim * cap_), whole->long_side - std::max(1, whole->long_side / 20));
      side = std::max(side, smallest);
      guess = hi_;
    } else {
      break;
    }
  }

  if (!best) {
    // Even the smallest frames do not fit: say how small it can get, write nothing.
    std::unique_ptr<Trial> tiny = Convert(job_.files, smallest);
    if (!tiny) return Fail(result);
    const int64_t bytes = BytesAt(*tiny, hi_);
    if (bytes < 0) return Fail(result);
    result.error = "The smallest GIF of these pictures is " + FitSizeText(bytes) + " (" +
                   std::to_string(tiny->gif->ScreenWidth()) + " x " +
                   std::to_string(tiny->gif->ScreenHeight()) + ", lossy " + std::to_string(hi_) +
                   "), larger than " + FitSizeText(cap_) + ". Nothing was written.";
    host_.SetMousePointer(kPointerDefault);
    host_.SetProgressValue(0);
    host_.MessageBox(result.error, MsgButtons::Ok, MsgIcon::Exclamation, kAppTitle);
    return result;
  }

  // The chosen GIF replaces out.gif.
  MemoryGifOutput memory;
  best->gif->SetLossy(best_level);
  if (best->kept_level == best_level) {
    memory.bytes = std::move(best->kept);
  } else if (!best->gif->Save(memory, trial_host_)) {
    cancelled_ = host_.CancelRequested();
    return Fail(result);
  }
  gif.Swap(*best->gif);
  if (job_.memory) {
    job_.memory->bytes = std::move(memory.bytes);
  } else {
    OutputGifFile file(output_path);
    file.Write(memory.bytes.data(), memory.bytes.size());
    if (!file.Commit()) {
      result.error = file.FailureText();
      host_.SetMousePointer(kPointerDefault);
      host_.SetProgressValue(0);
      host_.MessageBox(result.error, MsgButtons::Ok, MsgIcon::Exclamation, kAppTitle);
      return result;
    }
  }
  result.gif_written = true;
  result.fit =
      ConversionResult::Fit{best_level, gif.ScreenWidth(), gif.ScreenHeight(),
                            int64_t(job_.memory ? job_.memory->bytes.size() : memory.bytes.size())};
  host_.SetMousePointer(kPointerDefault);
  host_.SetProgressValue(0);
  host_.MessageBox("Done.", MsgButtons::Ok, MsgIcon::None, kAppTitle);
  return result;
}

}  // namespace

int64_t SmallestPossibleGif(int32_t frames) {
  // Header 6, screen 7, loop block 19, trailer 1; per frame a graphic control 8, an image
  // descriptor 10, a two-entry local table 6 and the shortest image data 5.
  return 6 + 7 + 19 + 1 + int64_t(std::max(frames, 1)) * (8 + 10 + 6 + 5);
}

ConversionResult ConvertToFit(const ConversionJob& job, cGIF& gif, Host& host,
                              const std::string& output_path) {
  return Fitter(job, host).Run(gif, output_path);
}

std::string FitSizeText(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const bool mega = bytes >= (int64_t(1) << 20);
  const double value = double(bytes) / (mega ? 1 << 20 : 1 << 10);
  // Three figures, without trailing zeros: "7.83 MB", "12.4 MB", "8 MB", "512 KB".
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", value < 10 ? 2 : value < 100 ? 1 : 0, value);
  std::string s = text;
  if (s.find('.') != std::string::npos) {
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') s.pop_back();
  }
  return s + (mega ? " MB" : " KB");
}

}  // namespace qm
