// quillomat-cli: the conversion without a window. The same driver as the window runs it; a
// console host shows its messages on stderr, answers every question with No and draws a progress
// bar when stderr is a terminal.
//
// Exit status: 0 when the GIF was written without any error along the way, 1 when the
// conversion (or inspect) failed or reported an error, 2 for a usage error.

#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/console_host.h"
#include "cli/inspect.h"
#include "convert/driver.h"
#include "gif/cGIF.h"
#include "platform/folders.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "platform/memory.h"
#include "platform/version.h"

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  quillomat-cli [options] PICTURE...\n"
    "  quillomat-cli --samples [options]          the program's Samples folder\n"
    "  quillomat-cli --folder DIR [--ext jpg] [options]\n"
    "                                             every matching file of the folder tree\n"
    "  quillomat-cli inspect FILE.gif             what the GIF reader sees, as JSON\n"
    "  quillomat-cli --help | --version\n"
    "options:\n"
    "  --fps N                          frames per second, as typed in the window (default 1)\n"
    "  --out DIR|FILE.gif               output folder (out.gif inside) or file (default "
    "./out.gif)\n"
    "  --palette halftone|optimal       colour palette (default halftone)\n"
    "  --dither none|ordered|diffusion  dithering (default ordered)\n"
    "  --keep-temp                      keep the temporary folder and print its path\n"
    "  --quiet                          no progress bar and no \"Done.\"\n";

int UsageError(const std::string& why) {
  std::fprintf(stderr, "quillomat-cli: %s\n%s", why.c_str(), kUsage);
  return 2;
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
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no pictures given");
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args[0] == "--version") {
    std::printf("quillomat-cli %s\n", qm::kVersion);
    return 0;
  }

  if (args[0] == "inspect") {
    if (args.size() != 2) return UsageError("inspect takes one GIF file");
    std::string json;
    std::string error;
    if (!qm::cli::InspectGif(args[1], json, error)) {
      std::fprintf(stderr, "Quillomat: %s\n", error.c_str());
      return 1;
    }
    std::fputs(json.c_str(), stdout);
    return 0;
  }

  std::string fps = "1";
  std::string out;
  std::string folder;
  std::string ext = "jpg";
  bool samples = false, quiet = false, ext_given = false;
  qm::ConversionOptions options;
  std::vector<std::string> files;
  bool only_files = false;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    if (only_files || a.empty() || a[0] != '-' || a == "-") {
      files.push_back(a);
    } else if (a == "--") {
      only_files = true;
    } else if (a == "--fps") {
      if (!value(fps)) return UsageError("--fps needs a value");
    } else if (a == "--out") {
      if (!value(out) || out.empty()) return UsageError("--out needs a folder or a .gif file");
    } else if (a == "--palette") {
      std::string v;
      if (!value(v)) return UsageError("--palette needs halftone or optimal");
      if (v == "halftone")
        options.palette_mode = 0;
      else if (v == "optimal")
        options.palette_mode = 1;
      else
        return UsageError("unknown palette: " + v);
    } else if (a == "--dither") {
      std::string v;
      if (!value(v)) return UsageError("--dither needs none, ordered or diffusion");
      if (v == "none")
        options.dither_mode = 0;
      else if (v == "ordered")
        options.dither_mode = 1;
      else if (v == "diffusion")
        options.dither_mode = 2;
      else
        return UsageError("unknown dither: " + v);
    } else if (a == "--keep-temp") {
      options.keep_temp = true;
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

  std::string output_folder = ".";
  std::string output_file;
  if (!out.empty()) {
    if (EndsWithGif(out) && !qm::IsDirectory(out))
      output_file = out;
    else
      output_folder = out;
  }

  qm::cli::ConsoleHost host(quiet, isatty(STDERR_FILENO) == 1);
  qm::ScopedHost scoped(&host);
  qm::cGIF gif;
  const qm::ConversionResult result =
      qm::StartConverting(files, fps, output_folder, gif, options, output_file);
  host.FinishProgress();
  if (options.keep_temp && !result.temp_folder.empty()) {
    std::fprintf(stderr, "Quillomat: temporary files kept in %s\n", result.temp_folder.c_str());
  }
  if (!result.gif_written) return 1;
  if (host.problems() > 0) {
    // The window carries on past a picture that fails; a script must still learn of it.
    std::fprintf(stderr, "Quillomat: %s was written, but not every picture went into it\n",
                 result.output_path.c_str());
    return 1;
  }
  if (!quiet) std::printf("%s\n", result.output_path.c_str());
  return 0;
}
