// quillomat-cli: the conversion without a window. The same driver as the window runs it; a
// console host shows its messages on stderr, answers every question with No and draws a progress
// bar when stderr is a terminal.
//
// Exit status: 0 when the GIF was written without any error along the way, 1 when the
// conversion (or inspect) failed or reported an error, 2 for a usage error, 128 + the signal's
// number when SIGINT, SIGTERM or SIGHUP cancelled the conversion (130 for Ctrl-C).

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cli/console_host.h"
#include "cli/inspect.h"
#include "cli/option_values.h"
#include "convert/driver.h"
#include "convert/gif_picture.h"
#include "convert/size_fit.h"
#include "gif/cGIF.h"
#include "gif/lossy_lzw_encoder.h"
#include "platform/cancel.h"
#include "platform/folders.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "platform/memory.h"
#include "platform/version.h"

namespace {

// Every option with one example; the --best line is made from the preset itself so it stays true.
std::string Usage();

int UsageError(const std::string& why) {
  std::fprintf(stderr, "quillomat-cli: %s\n%s", why.c_str(), Usage().c_str());
  return 2;
}

const char* PaletteName(int mode) {
  static constexpr const char* kNames[] = {"halftone", "optimal", "global", "local"};
  return mode >= 0 && mode < 4 ? kNames[mode] : "?";
}

const char* DitherName(int mode) {
  static constexpr const char* kNames[] = {"none", "ordered", "diffusion"};
  return mode >= 0 && mode < 3 ? kNames[mode] : "?";
}

// The preset as the options it stands for.
std::string BestPresetText() {
  const qm::ConversionOptions plain;
  qm::ConversionOptions best;
  qm::ApplyBestPreset(best);
  std::string text;
  auto add = [&](const std::string& option) { text += (text.empty() ? "" : " ") + option; };
  if (best.palette_mode != plain.palette_mode)
    add(std::string("--palette ") + PaletteName(best.palette_mode));
  if (best.dither_mode != plain.dither_mode)
    add(std::string("--dither ") + DitherName(best.dither_mode));
  if (best.optimize != plain.optimize) add("--optimize");
  if (best.max_width != plain.max_width) add("--width " + std::to_string(best.max_width));
  if (best.max_height != plain.max_height) add("--height " + std::to_string(best.max_height));
  return text;
}

// The largest --max-size: 1 TiB, far past any GIF anyone shares.
constexpr int64_t kMaxCapBytes = int64_t(1) << 40;

constexpr const char* kUsageHead =
    "usage:\n"
    "  quillomat-cli [options] PICTURE...\n"
    "  quillomat-cli --samples [options]          the program's Samples folder\n"
    "  quillomat-cli --folder DIR [--ext jpg] [options]\n"
    "                                             every matching file of the folder tree\n"
    "  quillomat-cli inspect FILE.gif             what the GIF reader sees, as JSON\n"
    "  quillomat-cli --help | --version\n"
    "options:\n"
    "  --fps N                  frames per second, as typed in the window (default 1)\n"
    "                           e.g. --fps 10\n"
    "  --out DIR|FILE.gif       output folder (out.gif inside) or file (default ./out.gif)\n"
    "                           e.g. --out holiday.gif\n"
    "  --width W, --height H    fit every frame inside W x H pixels (each 1..32767),\n"
    "                           aspect kept, never enlarged; e.g. --width 800\n"
    "  --palette MODE           halftone (default; the 216-colour cube), optimal (from the\n"
    "                           first frame), global (one from every frame) or local (one\n"
    "                           per frame); e.g. --palette local\n"
    "  --dither MODE            none, ordered (default) or diffusion; e.g. --dither diffusion\n"
    "  --optimize               store each frame as what changed since the one before;\n"
    "                           what a viewer shows stays the same. e.g. --optimize\n"
    "  --lossy N                a smaller file for colours a little off: 0 exact (default)\n"
    "                           to 200; about 20 light, 80 strong. e.g. --lossy 40\n"
    "  --max-size SIZE          the best GIF not larger than SIZE bytes (K and M: 1024 and\n"
    "                           1024^2): a higher lossy level first, then smaller frames;\n"
    "                           says what it chose. e.g. --max-size 8M\n"
    "  --best                   the best quality for its size, the same as\n"
    "                           ";

// Followed by the --best preset's own options.
constexpr const char* kUsageTail =
    ";\n"
    "                           options given explicitly win over it, before or after it.\n"
    "                           e.g. --best --width 640\n"
    "  --loop forever|N         play for ever (default) or N times (1..32768); --loop 1 plays\n"
    "                           once. e.g. --loop 3\n"
    "  --hold-first SECONDS     the first frame's delay (0..327.67, to the hundredth);\n"
    "                           e.g. --hold-first 1.5\n"
    "  --hold-last SECONDS      the last frame's delay (0..327.67), the pause before the\n"
    "                           animation restarts; a single frame takes this one.\n"
    "                           e.g. --hold-last 2\n"
    "  --delays LIST            each frame's delay in hundredths of a second (each 0..32767),\n"
    "                           comma-separated, the last value repeating; the holds win for\n"
    "                           their frame. Otherwise delays come from --fps.\n"
    "                           e.g. --delays 200,10,10,50\n"
    "  --keep-temp              keep the temporary folder and print its path\n"
    "  --quiet                  no progress bar and no \"Done.\"\n";

std::string Usage() {
  return kUsageHead + BestPresetText() + kUsageTail;
}

volatile sig_atomic_t g_signal = 0;

// Only what is async-signal-safe: the conversion sees the request between frames, unwinds and
// removes its temporary files. The handler is reset on delivery, so a second signal of the same
// kind ends the program at once.
void OnStopSignal(int signo) {
  g_signal = signo;
  qm::RequestCancel();
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
}

bool EndsWithGif(const std::string& s) {
  if (s.size() < 4) return false;
  std::string tail = s.substr(s.size() - 4);
  for (char& c : tail) c = char(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".gif";
}

}  // namespace

int main(int argc, char** argv) {
  qm::TuneAllocatorForFrames();
  qm::RegisterGifPictureDecoder();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no pictures given");
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  if (args[0] == "--version") {
    std::printf("quillomat-cli %s\n", qm::kVersion);
    return 0;
  }

  if (args[0] == "inspect") {
    if (args.size() != 2) return UsageError("inspect takes one GIF file");
    std::string json;
    std::string error, warning;
    if (!qm::cli::InspectGif(args[1], json, error, warning)) {
      std::fprintf(stderr, "Quillomat: %s\n", error.c_str());
      return 1;
    }
    if (!warning.empty()) std::fprintf(stderr, "Quillomat: %s\n", warning.c_str());
    std::fputs(json.c_str(), stdout);
    return 0;
  }

  std::string fps = "1";
  std::string out;
  std::string folder;
  std::string ext = "jpg";
  bool samples = false, quiet = false, ext_given = false;
  // Each conversion option given is kept as a setter and applied over the --best preset, so an
  // option given explicitly wins over the preset wherever it stands on the line.
  std::vector<std::function<void(qm::ConversionOptions&)>> choices;
  bool best = false;
  std::vector<std::string> files;
  bool only_files = false;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string v;
    if (only_files || a.empty() || a[0] != '-' || a == "-") {
      files.push_back(a);
    } else if (a == "--") {
      only_files = true;
    } else if (a == "--fps") {
      if (!value(fps)) return UsageError("--fps needs a value");
    } else if (a == "--out") {
      if (!value(out) || out.empty()) return UsageError("--out needs a folder or a .gif file");
    } else if (a == "--palette") {
      if (!value(v)) return UsageError("--palette needs halftone, optimal, global or local");
      int mode = -1;
      for (int m = 0; m < 4; ++m) {
        if (v == PaletteName(m)) mode = m;
      }
      if (mode < 0) return UsageError("unknown palette: " + v);
      choices.push_back([mode](qm::ConversionOptions& o) { o.palette_mode = mode; });
    } else if (a == "--dither") {
      if (!value(v)) return UsageError("--dither needs none, ordered or diffusion");
      int mode = -1;
      for (int m = 0; m < 3; ++m) {
        if (v == DitherName(m)) mode = m;
      }
      if (mode < 0) return UsageError("unknown dither: " + v);
      choices.push_back([mode](qm::ConversionOptions& o) { o.dither_mode = mode; });
    } else if (a == "--width" || a == "--height") {
      int32_t side = 0;
      if (!value(v) || !qm::cli::ParseWholeNumber(v, 1, qm::kMaxOutputSide, side)) {
        return UsageError(a + " takes a whole number of pixels from 1 to " +
                          std::to_string(qm::kMaxOutputSide));
      }
      const bool width = a == "--width";
      choices.push_back(
          [width, side](qm::ConversionOptions& o) { (width ? o.max_width : o.max_height) = side; });
    } else if (a == "--optimize") {
      choices.push_back([](qm::ConversionOptions& o) { o.optimize = true; });
    } else if (a == "--lossy") {
      int32_t level = 0;
      if (!value(v) || !qm::cli::ParseWholeNumber(v, 0, qm::kMaxLossyLevel, level)) {
        return UsageError("--lossy takes a whole number from 0 (exact) to " +
                          std::to_string(qm::kMaxLossyLevel));
      }
      choices.push_back([level](qm::ConversionOptions& o) { o.lossy = level; });
    } else if (a == "--max-size") {
      int64_t cap = 0;
      if (!value(v) || !qm::cli::ParseByteSize(v, kMaxCapBytes, cap)) {
        return UsageError(
            "--max-size takes a size in bytes, or with K or M (1024 and 1024^2 bytes), from 1 "
            "byte to " +
            std::to_string(kMaxCapBytes >> 20) + " M");
      }
      choices.push_back([cap](qm::ConversionOptions& o) { o.max_bytes = cap; });
    } else if (a == "--best") {
      best = true;
    } else if (a == "--loop") {
      int32_t plays = 0;
      if (!value(v) || !qm::cli::ParsePlayCount(v, qm::kMaxLoopCount, plays)) {
        return UsageError("--loop takes forever or how many times to play, from 1 to " +
                          std::to_string(qm::kMaxLoopCount));
      }
      choices.push_back([plays](qm::ConversionOptions& o) { o.loop_count = plays; });
    } else if (a == "--hold-first" || a == "--hold-last") {
      int32_t cs = 0;
      if (!value(v) || !qm::cli::ParseSecondsAsHundredths(v, qm::kMaxDelayCs, cs)) {
        char range[32];
        std::snprintf(range, sizeof range, "%d.%02d", qm::kMaxDelayCs / 100, qm::kMaxDelayCs % 100);
        return UsageError(a + " takes seconds from 0 to " + range);
      }
      const bool first = a == "--hold-first";
      choices.push_back([first, cs](qm::ConversionOptions& o) {
        (first ? o.hold_first_cs : o.hold_last_cs) = cs;
      });
    } else if (a == "--delays") {
      std::vector<int32_t> delays;
      if (!value(v) || !qm::cli::ParseNumberList(v, qm::kMaxDelayCs, delays)) {
        return UsageError(
            "--delays takes hundredths of a second per frame, comma-separated, each from 0 to " +
            std::to_string(qm::kMaxDelayCs));
      }
      choices.push_back([delays](qm::ConversionOptions& o) { o.delays_cs = delays; });
    } else if (a == "--keep-temp") {
      choices.push_back([](qm::ConversionOptions& o) { o.keep_temp = true; });
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--samples") {
      samples = true;
    } else if (a == "--folder") {
      if (!value(folder) || folder.empty()) return UsageError("--folder needs a folder");
    } else if (a == "--ext") {
      if (!value(ext)) return UsageError("--ext needs an extension");
      ext_given = true;
    } else {
      return UsageError("unknown option: " + a);
    }
  }

  qm::ConversionOptions options;
  if (best) qm::ApplyBestPreset(options);
  for (const auto& choose : choices) choose(options);

  const int sources = int(samples) + int(!folder.empty()) + int(!files.empty());
  if (sources == 0) return UsageError("no pictures given");
  if (sources > 1) return UsageError("give pictures, --samples or --folder, not several");
  if (ext_given && folder.empty()) return UsageError("--ext goes with --folder");

  if (samples) {
    const std::string dir = qm::JoinPath(qm::DataFolder(), "Samples");
    for (const std::string& name : qm::ListFiles(dir, "*.*")) {
      files.push_back(qm::JoinPath(dir, name));
    }
  } else if (!folder.empty()) {
    files = qm::FilesInFolderTree(folder, "*." + ext);
  }

  if (options.max_bytes > 0 && !files.empty() &&
      options.max_bytes < qm::SmallestPossibleGif(int32_t(std::min<size_t>(files.size(), 32767)))) {
    const int64_t least = qm::SmallestPossibleGif(int32_t(std::min<size_t>(files.size(), 32767)));
    return UsageError("--max-size " + qm::FitSizeText(options.max_bytes) +
                      " is less than any GIF of " + std::to_string(files.size()) +
                      (files.size() == 1 ? " frame" : " frames") + " takes (" +
                      qm::FitSizeText(least) + ")");
  }

  std::string output_folder = ".";
  std::string output_file;
  if (!out.empty()) {
    if (EndsWithGif(out) && !qm::IsDirectory(out))
      output_file = out;
    else
      output_folder = out;
  }
  // A missing folder would only show as a failed save after all the work.
  {
    std::string folder = output_folder;
    if (!output_file.empty()) {
      const size_t slash = output_file.find_last_of('/');
      folder = slash == std::string::npos ? "." : output_file.substr(0, std::max<size_t>(slash, 1));
    }
    if (!qm::IsDirectory(folder))
      return UsageError("the output folder " + folder + " does not exist");
  }

  qm::cli::ConsoleHost host(quiet, isatty(STDERR_FILENO) == 1);
  qm::ScopedHost scoped(&host);
  qm::cGIF gif;
  InstallStopHandlers();
  const qm::ConversionResult result =
      qm::StartConverting(files, fps, output_folder, gif, options, output_file);
  host.FinishProgress();
  if (options.keep_temp && !result.temp_folder.empty()) {
    std::fprintf(stderr, "Quillomat: temporary files kept in %s\n", result.temp_folder.c_str());
  }
  // A signal that came after the last frame finds the work done; only a stopped run says so.
  if (result.cancelled) return 128 + (g_signal != 0 ? int(g_signal) : SIGINT);
  if (!result.gif_written) return 1;
  if (result.fit && !quiet) {
    std::fprintf(stderr, "Quillomat: fitted: lossy %d, %d x %d, %s of %s\n", int(result.fit->lossy),
                 int(result.fit->width), int(result.fit->height),
                 qm::FitSizeText(result.fit->bytes).c_str(),
                 qm::FitSizeText(options.max_bytes).c_str());
  }
  if (host.problems() > 0) {
    // The window carries on past a picture that fails; a script must still learn of it.
    std::fprintf(stderr, "Quillomat: %s was written, but not every picture went into it\n",
                 result.output_path.c_str());
    return 1;
  }
  if (!quiet) std::printf("%s\n", result.output_path.c_str());
  return 0;
}
